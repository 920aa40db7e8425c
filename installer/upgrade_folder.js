// An immediate custom action of the installer: an upgrade installs into the folder of the version it replaces (one
// installed with INSTALLDIR=... elsewhere too), where the user's configuration is. Every package records its folder
// as the product's InstallLocation.
function upgradeFolder() {
    var found = String(Session.Property("WIX_UPGRADE_DETECTED")).split(";");
    for (var i = 0; i < found.length; i++) {
        if (found[i] == "")
            continue;
        var folder = String(Session.Installer.ProductInfo(found[i], "InstallLocation"));
        if (folder != "") {
            Session.Property("INSTALLDIR") = folder;
            return 1;
        }
    }
    return 1;
}
