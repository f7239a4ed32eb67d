// Demo client: creates the server's classes by ProgID, as an automation client of the
// authoring environment would, and shows what they answer.
var progIds = ["CvMMUpdater.MergeModule2", "CvMMUpdater.MMCatalogManager", "CvMMUpdater.MMCatalog",
               "CvMMUpdater.MMCatalogPro"];
for (var i = 0; i < progIds.length; i++) {
    try {
        var object = new ActiveXObject(progIds[i]);
        WScript.Echo(progIds[i] + ": created (" + typeof object + ")");
    } catch (e) {
        WScript.Echo(progIds[i] + ": not created: 0x" + (e.number >>> 0).toString(16) + " " + e.description);
    }
}
