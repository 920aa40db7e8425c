// Keys under HKEY_CLASSES_ROOT, as both Windows registrations (the server's and
// its proxy's) write, read and remove them, in a chosen registry view: a 64-bit
// process writes the 32-bit view for 32-bit clients, whose class and interface
// keys are separate. Results are the system's error numbers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

enum class View : REGSAM {
    kDefault = 0,  // the process's own; ProgIDs and AppIDs live here, seen by both
    k64 = KEY_WOW64_64KEY,
    k32 = KEY_WOW64_32KEY,
};
constexpr View kBothViews[] = {View::k64, View::k32};

bool KeyExists(const std::string &key, View view = View::kDefault);
// The key's default value (name null) or a named one; ERROR_FILE_NOT_FOUND when
// the key or the value is missing.
LONG ReadValue(const std::string &key, const char *name, std::string *value, View view = View::kDefault);
inline LONG ReadDefault(const std::string &key, std::string *value, View view = View::kDefault) {
    return ReadValue(key, nullptr, value, view);
}
// Removes the key with everything below it; ERROR_FILE_NOT_FOUND when missing.
LONG DeleteTree(const std::string &key, View view = View::kDefault);

// The changes of one registration, recorded as they are made so that a failure
// part of the way puts every key and value back as it was.
class RegistryChanges {
public:
    RegistryChanges() = default;
    RegistryChanges(const RegistryChanges &) = delete;
    RegistryChanges &operator=(const RegistryChanges &) = delete;

    // Creates the key and sets its default value (name null) or a named one;
    // only creates it when value is null.
    LONG Set(View view, const std::string &key, const char *name, const char *value);
    LONG SetDefault(View view, const std::string &key, const char *value) { return Set(view, key, nullptr, value); }
    // Puts back what was there before, latest change first.
    void Undo();

private:
    struct Change {
        View view;
        std::string key;
        bool madeKey;  // key is the topmost key this change created
        std::string name;
        bool named;
        bool hadValue;
        DWORD oldType;
        std::string oldValue;  // as stored: its bytes, of any type
    };
    std::vector<Change> changes_;
};
