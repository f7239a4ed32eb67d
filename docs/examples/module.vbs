' One module file from VBScript: identity, summary, lists; the catalog through the manager.
Dim module, item
Set module = CreateObject("CvMMUpdater.MergeModule2")
module.Open WScript.Arguments(0)
WScript.Echo module.EntryKey & " " & module.Version & ", " & module.Subject & " by " & module.Author
For Each item In module.Files
    WScript.Echo "  file " & item.FileName & " in " & item.Directory & " (" & item.FileSize & " bytes)"
Next
For Each item In module.Dependencies
    WScript.Echo "  requires " & item.Key & " " & item.Version
Next
For Each item In module.Exclusions
    WScript.Echo "  excludes " & item.Key & " from """ & item.MinVersion & """ to """ & item.MaxVersion & """"
Next

Dim manager, catalog
Set manager = CreateObject("CvMMUpdater.MMCatalogManager")
Set catalog = manager.GetCatalog(1)
WScript.Echo "Catalog: " & catalog.GetModules().Count & " modules; friendly name: " & _
    catalog.GetFriendlyName(module.EntryKey)
On Error Resume Next
module.Open ""
WScript.Echo "Open of nothing: " & module.EntryKey & "|" & Err.Number
Err.Clear
catalog.FindModule "no colon", 0
WScript.Echo "FindModule without a colon: " & Hex(Err.Number)
