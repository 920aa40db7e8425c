// The mode-command text of a serial port applied to a DCB, as BuildCommDCBA
// does on Windows.
#include <strings.h>

#include <cctype>
#include <cstring>

#include "platform/errors.h"
#include "platform/serial.h"

namespace {

// One value of the text: [begin, end).
struct Token {
    const char *begin;
    const char *end;

    std::size_t size() const { return static_cast<std::size_t>(end - begin); }
    bool Is(const char *word) const { return size() == std::strlen(word) && strncasecmp(begin, word, size()) == 0; }
};

const char *SkipBlanks(const char *p) {
    while (*p == ' ') ++p;
    return p;
}

bool ParseNumber(Token token, DWORD *value) {
    if (token.size() == 0) return false;
    unsigned long long number = 0;
    for (const char *p = token.begin; p < token.end; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        number = number * 10 + static_cast<unsigned>(*p - '0');
        if (number > MAXDWORD) return false;
    }
    *value = static_cast<DWORD>(number);
    return true;
}

// The mode command's two-digit short forms: 96 is 9600 baud, 19 is 19200.
struct ShortBaud {
    DWORD given;
    DWORD baud;
};
const ShortBaud kShortBauds[] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},  {12, 1200},
                                 {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};

bool ParseBaud(Token token, DWORD *baud) {
    if (!ParseNumber(token, baud)) return false;
    for (const ShortBaud &form : kShortBauds) {
        if (form.given == *baud) *baud = form.baud;
    }
    return true;
}

bool ParseParity(Token token, BYTE *parity) {
    static const char kLetters[] = "NOEMS";  // in the order of the parity codes
    if (token.size() != 1) return false;
    const char *found = std::strchr(kLetters, std::toupper(static_cast<unsigned char>(*token.begin)));
    if (found == nullptr || *found == '\0') return false;
    *parity = static_cast<BYTE>(found - kLetters);
    return true;
}

bool ParseDataBits(Token token, BYTE *size) {
    DWORD value = 0;
    if (!ParseNumber(token, &value) || value < 5 || value > 8) return false;
    *size = static_cast<BYTE>(value);
    return true;
}

bool ParseStopBits(Token token, BYTE *stop) {
    if (token.Is("1")) {
        *stop = ONESTOPBIT;
    } else if (token.Is("1.5")) {
        *stop = ONE5STOPBITS;
    } else if (token.Is("2")) {
        *stop = TWOSTOPBITS;
    } else {
        return false;
    }
    return true;
}

// on, off and, where allowed, hs (handshake) and tg (toggle), as the DTR and
// RTS control codes: off 0, on 1, hs 2, tg 3.
bool ParseSwitch(Token token, bool allowHandshake, bool allowToggle, unsigned *value) {
    if (token.Is("off")) {
        *value = 0;
    } else if (token.Is("on")) {
        *value = 1;
    } else if (allowHandshake && token.Is("hs")) {
        *value = 2;
    } else if (allowToggle && token.Is("tg")) {
        *value = 3;
    } else {
        return false;
    }
    return true;
}

bool ParseOnOff(Token token, unsigned *value) {
    return ParseSwitch(token, false, false, value);
}

// As BuildCommDCB does: software and hardware flow control are off unless
// the text turns them on. A Linux terminal starts with XON/XOFF on.
void FlowControlOff(DCB *dcb) {
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
}

// Blank-separated key=value settings.
bool ApplyKeys(const char *p, DCB *dcb) {
    bool baudGiven = false;
    bool stopGiven = false;
    FlowControlOff(dcb);
    for (p = SkipBlanks(p); *p != '\0'; p = SkipBlanks(p)) {
        const char *equals = std::strchr(p, '=');
        if (equals == nullptr) return false;
        const Token key{p, equals};
        const char *end = equals + 1;
        while (*end != '\0' && *end != ' ') ++end;
        const Token value{equals + 1, end};
        p = end;

        unsigned flag = 0;
        bool ok = false;
        if (key.Is("baud")) {
            ok = ParseBaud(value, &dcb->BaudRate);
            baudGiven = true;
        } else if (key.Is("parity")) {
            ok = ParseParity(value, &dcb->Parity);
        } else if (key.Is("data")) {
            ok = ParseDataBits(value, &dcb->ByteSize);
        } else if (key.Is("stop")) {
            ok = ParseStopBits(value, &dcb->StopBits);
            stopGiven = true;
        } else if (key.Is("to")) {
            ok = ParseOnOff(value, &flag);  // time-outs are not part of a DCB
        } else if (key.Is("xon")) {
            ok = ParseOnOff(value, &flag);
            dcb->fOutX = flag;
            dcb->fInX = flag;
        } else if (key.Is("odsr")) {
            ok = ParseOnOff(value, &flag);
            dcb->fOutxDsrFlow = flag;
        } else if (key.Is("octs")) {
            ok = ParseOnOff(value, &flag);
            dcb->fOutxCtsFlow = flag;
        } else if (key.Is("dtr")) {
            ok = ParseSwitch(value, true, false, &flag);
            dcb->fDtrControl = flag;
        } else if (key.Is("rts")) {
            ok = ParseSwitch(value, true, true, &flag);
            dcb->fRtsControl = flag;
        } else if (key.Is("idsr")) {
            ok = ParseOnOff(value, &flag);
            dcb->fDsrSensitivity = flag;
        }
        if (!ok) return false;
    }
    // Like the mode command: stop bits left out means one, or two at 110 baud.
    if (!stopGiven) dcb->StopBits = baudGiven && dcb->BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

// The next field of the older form, without the blanks before it.
Token Field(const char **p) {
    const char *begin = SkipBlanks(*p);
    const char *end = begin;
    while (*end != '\0' && *end != ',' && *end != ' ') ++end;
    *p = end;
    return Token{begin, end};
}

bool Comma(const char **p) {
    const char *next = SkipBlanks(*p);
    if (*next != ',') return false;
    *p = next + 1;
    return true;
}

// The older form: baud,parity,data,stop[,x|p].
bool ApplyPositional(const char *p, DCB *dcb) {
    if (!ParseBaud(Field(&p), &dcb->BaudRate) || !Comma(&p) || !ParseParity(Field(&p), &dcb->Parity) || !Comma(&p) ||
        !ParseDataBits(Field(&p), &dcb->ByteSize) || !Comma(&p) || !ParseStopBits(Field(&p), &dcb->StopBits)) {
        return false;
    }
    Token flow{p, p};
    if (Comma(&p)) flow = Field(&p);
    if (*SkipBlanks(p) != '\0') return false;

    // The flow control always follows the last field, none when it is absent.
    FlowControlOff(dcb);
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    if (flow.Is("x")) {
        dcb->fInX = 1;
        dcb->fOutX = 1;
    } else if (flow.Is("p")) {
        dcb->fOutxCtsFlow = 1;
        dcb->fOutxDsrFlow = 1;
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (flow.size() != 0) {
        return false;
    }
    return true;
}

// Skips "COMn:" (or "COMn" before a blank or the end) at the start of p.
const char *SkipDevice(const char *p) {
    p = SkipBlanks(p);
    if (strncasecmp(p, "COM", 3) != 0 || !std::isdigit(static_cast<unsigned char>(p[3]))) return p;
    const char *end = p + 3;
    while (std::isdigit(static_cast<unsigned char>(*end))) ++end;
    if (*end == ':') return end + 1;
    return *end == ' ' || *end == '\0' ? end : p;
}

}  // namespace

BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    if (definition == nullptr || dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char *settings = SkipBlanks(SkipDevice(definition));
    DCB changed = *dcb;
    bool ok = true;
    if (*settings == '\0') {
        ok = true;  // nothing named, nothing changes
    } else if (std::strchr(settings, '=') != nullptr) {
        ok = ApplyKeys(settings, &changed);
    } else {
        ok = ApplyPositional(settings, &changed);
    }
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *dcb = changed;
    return TRUE;
}
