' Run against a server registered from a folder without the environment's components: the catalog
' cannot be made, and the manager says so through the script's error object.
Set manager = CreateObject("CvMMUpdater.MMCatalogManager")
On Error Resume Next
Set catalog = manager.GetCatalog(1)
number = Err.Number
source = Err.Source
description = Err.Description
On Error GoTo 0
WScript.Echo "Err.Number=" & Hex(number) & " Err.Source=" & source & " Err.Description=" & description
If number = 0 Then WScript.Echo "FAIL: GetCatalog succeeded without the environment"
If source <> "CvMMUpdater.MMCatalogManager.1" Then WScript.Echo "FAIL: source " & source
If Len(description) = 0 Then WScript.Echo "FAIL: no description"
WScript.Echo "ALL-OK"
