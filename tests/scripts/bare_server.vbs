' Run against a server registered from a folder without the environment's components: no catalog
' can be made, and the manager says so through the script's error object, every time it is asked.
' First thing: tell wine-run.sh that the script started (see its --started-marker).
marker = CreateObject("WScript.Shell").ExpandEnvironmentStrings("%CV_STARTED_MARKER%")
If Left(marker, 1) <> "%" Then CreateObject("Scripting.FileSystemObject").CreateTextFile(marker, True).Close
Sub Check(condition, what)
    If Not condition Then WScript.Echo "FAIL: " & what
End Sub

On Error Resume Next
For Each progId In Array("CvMMUpdater.MMCatalog", "CvMMUpdater.MMCatalogPro")
    Set catalog = CreateObject(progId)
    Check Err.Number <> 0, progId & " created without the environment"
    Err.Clear
Next
Set manager = CreateObject("CvMMUpdater.MMCatalogManager")
For Each catalogType In Array(1, 9, 1)
    Set catalog = manager.GetCatalog(catalogType)
    WScript.Echo "GetCatalog(" & catalogType & "): " & Hex(Err.Number) & " " & Err.Source & ": " & Err.Description
    Check Err.Number = &H8007000E, "GetCatalog(" & catalogType & ") gives E_OUTOFMEMORY"
    Check Err.Source = "CvMMUpdater.MMCatalogManager.1", "source " & Err.Source
    Check Len(Err.Description) > 0, "no description"
    Err.Clear
Next
WScript.Echo "ALL-OK"
