// Demo client: what an automation client of the authoring environment sees of the merge-module
// catalog, over the environment that tools/demo.sh lays out.
function show(text) { WScript.Echo(text); }

var manager = new ActiveXObject("CvMMUpdater.MMCatalogManager");
var catalog = manager.GetCatalog(1);

show("Modules in the catalog:");
for (var e = new Enumerator(catalog.GetModules()); !e.atEnd(); e.moveNext()) {
    var module = e.item();
    show("  " + module.EntryKey);
    show("      " + module.DisplayName + ", version " + module.Version +
         (module.HasSourceLocation ? ", from " + module.SourceLocation : "") +
         (module.Path ? "" : ", not on disk"));
}

show("Named search locations:");
for (var l = new Enumerator(catalog.GetSearchLocations()); !l.atEnd(); l.moveNext()) {
    var location = l.item();
    show("  " + location.DisplayName + ": " + location.Path + " (" + location.Modules.Count + " module(s))");
}

var any = catalog.FindModule("MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D:0", 0);
show("FindModule(MultiLang, any language): language " + any.Language);
show("Friendly name of FullModule: " + catalog.GetFriendlyName("FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9:1033"));
show("Module for shared.dll by the index: " + catalog.GetModuleForFile("Shared.DLL"));

var full = new ActiveXObject("CvMMUpdater.MergeModule2");
full.Open(any.Path.replace(/multi-1031\.msm$/i, "full.msm"));
show("Opened " + full.ModuleId + " (" + full.Subject + ", by " + full.Author + ")");
show("  files:");
for (var f = new Enumerator(full.Files); !f.atEnd(); f.moveNext())
    show("    " + f.item().FileName + " -> " + f.item().Directory);
show("  dependencies:");
for (var d = new Enumerator(full.Dependencies); !d.atEnd(); d.moveNext())
    show("    " + d.item().Key + (d.item().Version ? " " + d.item().Version : ""));
show("  dialogs: " + full.Dialogs.Count + ", custom actions: " + full.CustomActions.Count +
     ", present: " + full.IsPresent);
