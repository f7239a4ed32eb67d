' A VBScript automation client: the classes by ProgID, their methods by name, error information.
' cscript exits 0 on a script error, so the last line "ALL-OK" is what says the run got through.
Sub Check(condition, what)
    If Not condition Then WScript.Echo "FAIL: " & what
End Sub

Set module = CreateObject("CvMMUpdater.MergeModule2")
Check IsObject(module), "MergeModule2 by ProgID"
Set manager = CreateObject("CvMMUpdater.MMCatalogManager")
Check IsObject(manager), "MMCatalogManager by ProgID"
Set catalog = manager.GetCatalog(1)
Check IsObject(catalog), "GetCatalog(1)"
Set again = manager.GetCatalog(3)
Check catalog Is again, "one catalog per manager for every type outside 9 and 10"
Set pro = manager.GetCatalog(9)
Set pro10 = manager.GetCatalog(10)
Check pro Is pro10, "types 9 and 10 share one catalog"
Check Not (pro Is catalog), "type 9 gets the other catalog"
WScript.Echo "ALL-OK"
