// The catalog from JScript: every module, a module by signature, the module of a file by the index.
var catalog = new ActiveXObject("CvMMUpdater.MMCatalog");
var modules = catalog.GetModules();
WScript.Echo(modules.Count + " modules:");
for (var e = new Enumerator(modules); !e.atEnd(); e.moveNext()) {
    var module = e.item();
    WScript.Echo("  " + module.EntryKey + "  " + module.DisplayName +
                 (module.HasSourceLocation ? "  (" + module.SourceLocation + ")" : ""));
}
var any = catalog.FindModule("MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D:0", 0);
WScript.Echo("Any language of MultiLang: " + any.EntryKey);
WScript.Echo("shared.dll by the index: " + catalog.GetModuleForFile("shared.dll"));
var locations = catalog.GetSearchLocations();
for (var l = new Enumerator(locations); !l.atEnd(); l.moveNext())
    WScript.Echo("Location " + l.item().DisplayName + ": " + l.item().Modules.Count + " module(s)");
