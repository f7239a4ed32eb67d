' A VBScript client of MergeModule2 over the test modules in the folder given as first argument.
' cscript exits 0 on a script error, so the last line "ALL-OK" is what says the run got through.
Sub Check(condition, what)
    If Not condition Then WScript.Echo "FAIL: " & what
End Sub

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
