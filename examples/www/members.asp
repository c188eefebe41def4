<%@ Language="VBScript" CodePage=65001 %>
<!-- #include file="_helpers.asp" -->
<%
' Every member of the upload object, used once or more: the 31 names of its
' interface (MaxKB, OverwriteMode, OverwriteChr and CodePage both read and
' written).
' Post the small form below to see them on a real upload; a plain visit
' shows them on an empty request, where the members that take a file index
' raise their documented error. The file utilities work on temporary files
' named members-<stamp>-... in /uploads/, which the page deletes again.
Dim up, i, v, en, ed, folder, folderProblem, stamp, before, after, d, b, cnt, first
Dim lastIndex, target, bodyName, logName, copyName, movedName, fso, name

Set up = Server.CreateObject("kvParcelin.process")

' One row of results: the member, what was called, and its outcome.
Sub Row(member, expr, result)
  Response.Write "<tr data-member=""" & H(member) & """><th>" & H(member) & "</th><td><code>" & _
                 H(expr) & "</code></td><td class=""result"">" & result & "</td></tr>" & vbCrLf
End Sub

' The outcome of a call as HTML: the value (encoded, with its type), or the
' error it raised.
Function Res(value, number, description)
  If number <> 0 Then
    Res = "<span class=""err"">error &amp;H" & Hex(number) & ": " & H(description) & "</span>"
  ElseIf IsArray(value) Then
    Res = "<span class=""val"">(" & H(TypeName(value)) & ")</span>"
  Else
    Res = "<span class=""val"">" & HtmlLines(Quoted(value)) & "</span> <small>" & _
          H(TypeName(value)) & "</small>"
  End If
End Function

' Strings in quotes, so that an empty string shows.
Function Quoted(value)
  If VarType(value) = vbString Then
    Quoted = """" & value & """"
  Else
    Quoted = CStr(value)
  End If
End Function

Sub Section(title)
  Response.Write "<h2>" & H(title) & "</h2>" & vbCrLf & "<table class=""members"">" & vbCrLf
  Response.Write "<thead><tr><th>Member</th><th>Call</th><th>Result</th></tr></thead>" & vbCrLf
End Sub

Sub SectionEnd()
  Response.Write "</table>" & vbCrLf
End Sub

PageStart "All members"
%>
<form id="members-form" method="post" action="/members.asp" enctype="multipart/form-data"
      accept-charset="<%= SITE_CHARSET %>">
  <label>A file <input type="file" name="sample" id="sample"></label>
  <label>Another file <input type="file" name="second" id="second"></label>
  <label>Note <input type="text" name="note" id="note"></label>
  <span class="group">Pick
    <label class="inline"><input type="checkbox" name="pick" value="one" id="pick-one"> one</label>
    <label class="inline"><input type="checkbox" name="pick" value="two" id="pick-two"> two</label>
  </span>
  <button type="submit" id="send">Post to this page</button>
</form>
<%
folderProblem = EnsureUploadFolder()
folder = UploadFolder()
Randomize
stamp = Year(Now) & Right("0" & Month(Now), 2) & Right("0" & Day(Now), 2) & "-" & _
        Right("0" & Hour(Now), 2) & Right("0" & Minute(Now), 2) & Right("0" & Second(Now), 2) & _
        "-" & Right("00000" & CStr(Int(Rnd * 100000)), 5)
If folderProblem <> "" Then
  Response.Write "<p class=""error"">The file utilities need " & H(UPLOAD_URL) & ": " & _
                 H(folderProblem) & "</p>" & vbCrLf
End If

On Error Resume Next

' ---------------------------------------------------------------- the object
Section "The object and the request"
v = Empty : v = up.CodePage : en = Err.Number : ed = Err.Description : Err.Clear
Row "CodePage", "up.CodePage (new object: the ANSI code page)", Res(v, en, ed)
up.CodePage = 12345 : en = Err.Number : ed = Err.Description : Err.Clear
Row "CodePage", "up.CodePage = 12345 (no such code page)", Res("done", en, ed)
v = Empty : v = up.CodePage : en = Err.Number : ed = Err.Description : Err.Clear
Row "CodePage", "up.CodePage after the refusal", Res(v, en, ed)
up.CodePage = 65001 : en = Err.Number : ed = Err.Description : Err.Clear
Row "CodePage", "up.CodePage = 65001 (this page's code page)", Res("done", en, ed)
v = Empty : v = up.CodePage : en = Err.Number : ed = Err.Description : Err.Clear
Row "CodePage", "up.CodePage = 65001 : up.CodePage", Res(v, en, ed)
v = Empty : v = up.Version : en = Err.Number : ed = Err.Description : Err.Clear
Row "Version", "up.Version", Res(v, en, ed)
v = Empty : v = up.TotalBytes : en = Err.Number : ed = Err.Description : Err.Clear
Row "TotalBytes", "up.TotalBytes", Res(v, en, ed)
v = Empty : v = up.Status : en = Err.Number : ed = Err.Description : Err.Clear
Row "Status", "up.Status", Res(v, en, ed)
v = Empty : v = up.FileQty : en = Err.Number : ed = Err.Description : Err.Clear
Row "FileQty", "up.FileQty", Res(v, en, ed)
v = Empty : v = up.VarCount : en = Err.Number : ed = Err.Description : Err.Clear
Row "VarCount", "up.VarCount", Res(v, en, ed)

before = up.FileQty & "/" & up.VarCount
up.Read : en = Err.Number : ed = Err.Description : Err.Clear
after = up.FileQty & "/" & up.VarCount
Row "Read", "up.Read (FileQty/VarCount before and after)", _
    Res("before " & before & ", after " & after, en, ed)

v = Empty : v = up.MaxKB : en = Err.Number : ed = Err.Description : Err.Clear
Row "MaxKB", "up.MaxKB (no meaning)", Res(v, en, ed)
up.MaxKB = 1024 : en = Err.Number : ed = Err.Description : Err.Clear
Row "MaxKB", "up.MaxKB = 1024 (accepted, ignored)", Res("done", en, ed)

v = Empty : v = up.OverwriteMode : en = Err.Number : ed = Err.Description : Err.Clear
Row "OverwriteMode", "up.OverwriteMode (new object)", Res(v, en, ed)
up.OverwriteMode = 7
v = Empty : v = up.OverwriteMode : en = Err.Number : ed = Err.Description : Err.Clear
Row "OverwriteMode", "up.OverwriteMode = 7 : up.OverwriteMode", Res(v, en, ed)
up.OverwriteMode = 2
v = Empty : v = up.OverwriteMode : en = Err.Number : ed = Err.Description : Err.Clear
Row "OverwriteMode", "up.OverwriteMode = 2 : up.OverwriteMode", Res(v, en, ed)

v = Empty : v = up.OverwriteChr : en = Err.Number : ed = Err.Description : Err.Clear
Row "OverwriteChr", "up.OverwriteChr (new object)", Res(v, en, ed)
up.OverwriteChr = "_v"
v = Empty : v = up.OverwriteChr : en = Err.Number : ed = Err.Description : Err.Clear
Row "OverwriteChr", "up.OverwriteChr = ""_v"" : up.OverwriteChr", Res(v, en, ed)

v = Empty : v = up.CurrentDir : en = Err.Number : ed = Err.Description : Err.Clear
Row "CurrentDir", "up.CurrentDir", Res(v, en, ed)
v = Empty : v = up.ParentDir(up.CurrentDir) : en = Err.Number : ed = Err.Description : Err.Clear
Row "ParentDir", "up.ParentDir(up.CurrentDir)", Res(v, en, ed)
v = Empty : v = up.ParentDir("C:\Inetpub\wwwroot\upload\form.asp") : en = Err.Number : ed = Err.Description : Err.Clear
Row "ParentDir", "up.ParentDir(""C:\Inetpub\wwwroot\upload\form.asp"")", Res(v, en, ed)
SectionEnd

' ----------------------------------------------------------------- the files
Section "The files"
If up.FileQty = 0 Then
  Response.Write "<tr><td colspan=""3"" class=""note"">No file was posted: the members that " & _
                 "take a file index raise their error for index 0.</td></tr>" & vbCrLf
End If
' Every file; with none, index 0 shows the error of each member.
lastIndex = up.FileQty - 1
If lastIndex < 0 Then lastIndex = 0
For i = 0 To lastIndex
  Response.Write "<tr class=""file-head""><th colspan=""3"">File " & i & "</th></tr>" & vbCrLf
  v = Empty : v = up.LocalName(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "LocalName", "up.LocalName(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.FileName(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileName", "up.FileName(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.Extension(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "Extension", "up.Extension(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.NameOnly(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "NameOnly", "up.NameOnly(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.ContentType(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "ContentType", "up.ContentType(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.FileSize(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileSize", "up.FileSize(" & i & ")", Res(v, en, ed)

  ' FileData: a byte array with lower bound 1. Its byte count and first
  ' bytes come from the byte string functions (LenB, MidB, AscB), as on
  ' Windows; a script engine without them for arrays (Wine's) gets the type
  ' only, and the count from FileSize.
  d = Empty : d = up.FileData(i) : en = Err.Number : ed = Err.Description : Err.Clear
  If en <> 0 Then
    Row "FileData", "up.FileData(" & i & ")", Res(d, en, ed)
  Else
    v = "VarType " & VarType(d) & ", IsArray " & IsArray(d)
    cnt = LenB(d)
    If Err.Number = 0 Then
      first = ""
      For b = 1 To cnt
        If b > 16 Then Exit For
        first = first & Right("0" & Hex(AscB(MidB(d, b, 1))), 2) & " "
      Next
      v = v & ", LenB " & cnt & " bytes; first bytes: " & Trim(first)
    End If
    If Err.Number <> 0 Then
      Err.Clear
      cnt = up.FileSize(i)
      v = v & "; this script engine cannot measure a byte array (no LenB/MidB/AscB on arrays); " & _
          "FileSize says " & cnt & " bytes"
    End If
    Response.Write "<tr data-member=""FileData""><th>FileData</th><td><code>d = up.FileData(" & i & _
                   ")</code></td><td class=""result""><span class=""val"" data-count=""" & cnt & """>" & _
                   H(v) & "</span></td></tr>" & vbCrLf
  End If
  d = Empty

  v = Empty : v = up.NewName(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "NewName", "up.NewName(" & i & ") (before any save)", Res(v, en, ed)
  ' A name the page makes, never the client's: that could be shell.asp, shell.asp. or CON.
  target = folder & "members-" & stamp & "-file" & i & ".dat"
  If folderProblem = "" Then
    up.FileSave target, i : en = Err.Number : ed = Err.Description : Err.Clear
    Row "FileSave", "up.FileSave """ & target & """, " & i & " (mode 2)", Res("done", en, ed)
    v = Empty : v = up.NewName(i) : en = Err.Number : ed = Err.Description : Err.Clear
    Row "NewName", "up.NewName(" & i & ")", Res(v, en, ed)
    up.FileSave target, i : en = Err.Number : ed = Err.Description : Err.Clear
    Row "FileSave", "up.FileSave """ & target & """, " & i & " (again: the name is taken)", Res("done", en, ed)
    v = Empty : v = up.NewName(i) : en = Err.Number : ed = Err.Description : Err.Clear
    Row "NewName", "up.NewName(" & i & ") (numbered with OverwriteChr)", Res(v, en, ed)
    If en = 0 And v <> "" Then
      up.Delete folder & v
      up.Delete target
      v = up.FileExists(target) Or up.FileExists(folder & v)
      Row "Delete", "up.Delete (both saved copies), then FileExists", Res(v, 0, "")
    End If
  End If
  Err.Clear
Next
SectionEnd

' ------------------------------------------------------------ the form fields
Section "The form fields"
For i = 0 To up.VarCount - 1
  name = up.VarName(i)
  v = Empty : v = up.VarName(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "VarName", "up.VarName(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.VarByIndex(i) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "VarByIndex", "up.VarByIndex(" & i & ")", Res(v, en, ed)
  v = Empty : v = up.Value(name) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "Value", "up.Value(""" & name & """)", Res(v, en, ed)
  v = Empty : v = up.TagNameIndex(name) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "TagNameIndex", "up.TagNameIndex(""" & name & """)", Res(v, en, ed)
Next
v = Empty : v = up.Value("no-such-field") : en = Err.Number : ed = Err.Description : Err.Clear
Row "Value", "up.Value(""no-such-field"")", Res(v, en, ed)
v = Empty : v = up.TagNameIndex("no-such-field") : en = Err.Number : ed = Err.Description : Err.Clear
Row "TagNameIndex", "up.TagNameIndex(""no-such-field"")", Res(v, en, ed)
v = Empty : v = up.VarName(up.VarCount) : en = Err.Number : ed = Err.Description : Err.Clear
Row "VarName", "up.VarName(" & up.VarCount & ") (one past the last)", Res(v, en, ed)
v = Empty : v = up.VarByIndex(-1) : en = Err.Number : ed = Err.Description : Err.Clear
Row "VarByIndex", "up.VarByIndex(-1)", Res(v, en, ed)
SectionEnd

' ------------------------------------------------------- the file utilities
Section "The file utilities (temporary files in " & UPLOAD_URL & ")"
If folderProblem = "" Then
  Set fso = Server.CreateObject("Scripting.FileSystemObject")
  bodyName = folder & "members-" & stamp & "-body.txt"
  logName = folder & "members-" & stamp & "-log.txt"
  copyName = folder & "members-" & stamp & "-copy.txt"
  movedName = folder & "members-" & stamp & "-moved.txt"

  up.DumpHeader bodyName : en = Err.Number : ed = Err.Description : Err.Clear
  v = "done"
  If en = 0 Then v = "wrote " & fso.GetFile(bodyName).Size & " bytes (TotalBytes " & up.TotalBytes & ")"
  Err.Clear
  Row "DumpHeader", "up.DumpHeader """ & bodyName & """", Res(v, en, ed)

  up.AppendToFile logName, "first line" : en = Err.Number : ed = Err.Description : Err.Clear
  Row "AppendToFile", "up.AppendToFile """ & logName & """, ""first line""", Res("done", en, ed)
  up.AppendToFile logName, "second line" : en = Err.Number : ed = Err.Description : Err.Clear
  v = "done"
  If en = 0 Then v = fso.OpenTextFile(logName, 1).ReadAll
  Err.Clear
  Row "AppendToFile", "up.AppendToFile """ & logName & """, ""second line"" (the file now)", Res(v, en, ed)

  up.Copy logName, copyName : en = Err.Number : ed = Err.Description : Err.Clear
  Row "Copy", "up.Copy """ & logName & """, """ & copyName & """", Res("done", en, ed)
  v = Empty : v = up.FileExists(copyName) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileExists", "up.FileExists(""" & copyName & """)", Res(v, en, ed)

  up.Rename copyName, movedName : en = Err.Number : ed = Err.Description : Err.Clear
  Row "Rename", "up.Rename """ & copyName & """, """ & movedName & """", Res("done", en, ed)
  v = Empty : v = up.FileExists(copyName) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileExists", "up.FileExists(""" & copyName & """) (after the rename)", Res(v, en, ed)
  v = Empty : v = up.FileExists(movedName) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileExists", "up.FileExists(""" & movedName & """)", Res(v, en, ed)

  up.Delete bodyName : up.Delete logName : up.Delete movedName
  en = Err.Number : ed = Err.Description : Err.Clear
  Row "Delete", "up.Delete (the body, the log and the moved copy)", Res("done", en, ed)
  v = Empty : v = up.FileExists(bodyName) Or up.FileExists(logName) Or up.FileExists(movedName)
  en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileExists", "any of them after Delete", Res(v, en, ed)
  v = Empty : v = up.FileExists(folder) : en = Err.Number : ed = Err.Description : Err.Clear
  Row "FileExists", "up.FileExists(""" & folder & """) (a folder)", Res(v, en, ed)
Else
  Response.Write "<tr><td colspan=""3"" class=""note"">Skipped: no upload folder.</td></tr>" & vbCrLf
End If
SectionEnd

On Error GoTo 0
Set up = Nothing
PageEnd
%>
