// A deferred custom action of the installer: deletes the server's log, whose path the immediate action before it
// passed as CustomActionData. A log that is not there is no fault.
function removeLog() {
    var path = Session.Property("CustomActionData");
    var files = new ActiveXObject("Scripting.FileSystemObject");
    if (path != "" && files.FileExists(path))
        files.DeleteFile(path, true);
    return 1;
}
