// A JScript automation client: the classes by ProgID, their properties and methods by name.
// cscript exits 0 on a script error, so the last line "ALL-OK" is what says the run got through.
function check(condition, what) {
    if (!condition) WScript.Echo("FAIL: " + what);
}

var module = new ActiveXObject("CvMMUpdater.MergeModule2");
check(typeof module == "object", "MergeModule2 by version-independent ProgID");
var module1 = new ActiveXObject("CvMMUpdater.MergeModule2.1");
check(typeof module1 == "object", "MergeModule2 by versioned ProgID");

var manager = new ActiveXObject("CvMMUpdater.MMCatalogManager.1");
var catalog = manager.GetCatalog(1);
check(typeof catalog == "object", "GetCatalog(1) gives the catalog");
var pro = manager.GetCatalog(9);
var pro10 = manager.GetCatalog(10);
check(typeof pro == "object", "GetCatalog(9) gives the catalog for type 9");
catalog.SetAutoRefresh(false);
check(catalog.Refresh() == 0, "Refresh answers 0");
check(pro.Reserved1(1, 2) == 0 && pro.Reserved2(5) == 0, "reserved methods answer 0");

try {
    manager.GetCatalog();
    check(false, "a missing argument is refused");
} catch (e) {
    WScript.Echo("missing argument: 0x" + (e.number >>> 0).toString(16));
}
WScript.Echo("ALL-OK");
