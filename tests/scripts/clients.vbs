' A VBScript automation client: the classes by ProgID, their methods by name, error information,
' over the test modules in the folder given as first argument.
' cscript exits 0 on a script error, so the last line "ALL-OK" is what says the run got through.
' First thing: tell wine-run.sh that the script started (see its --started-marker).
marker = CreateObject("WScript.Shell").ExpandEnvironmentStrings("%CV_STARTED_MARKER%")
If Left(marker, 1) <> "%" Then CreateObject("Scripting.FileSystemObject").CreateTextFile(marker, True).Close
Sub Check(condition, what)
    If Not condition Then WScript.Echo "FAIL: " & what
End Sub

Set manager = CreateObject("CvMMUpdater.MMCatalogManager")
Set catalog = manager.GetCatalog(1)
Check IsObject(catalog), "GetCatalog(1)"
Check catalog Is manager.GetCatalog(3), "one catalog per manager for every type outside 9 and 10"
Set pro = manager.GetCatalog(9)
Check pro Is manager.GetCatalog(10), "types 9 and 10 share one catalog"
Check Not (pro Is catalog), "type 9 gets the other catalog"

folder = WScript.Arguments(0)
suffix = ".0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9"
Set module = CreateObject("CvMMUpdater.MergeModule2")
On Error Resume Next
id = module.ModuleId
Check Err.Number = &H8000FFFF And Err.Source = "CvMMUpdater.MergeModule2.1", _
      "before Open: " & Hex(Err.Number) & " from " & Err.Source
Err.Clear
On Error GoTo 0

module.Open folder & "\full.msm"
Set files = module.Files
count = 0
For Each file In files
    count = count + 1
    If count = 1 Then Check file.FileKey = "alpha.txt" & suffix, "first file in key order: " & file.FileKey
Next
Check count = 6, "For Each walks six files, got " & count
position = 2
Check files(position).FileKey = "bars.dat" & suffix, "files(variable)"
Check files("2").FileKey = files(2).FileKey, "files(""2"") is files(2)"
Check VarType(module.Dependencies(1).Language) = vbLong, "dependency language is a number"
Check VarType(module.Exclusions(1).Language) = vbString, "exclusion language is text"
WScript.Echo "ALL-OK"
