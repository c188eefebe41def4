<%@ Language="VBScript" CodePage=65001 %>
<!-- #include file="_helpers.asp" -->
<%
' Lists the files in /uploads/ with their sizes, by name. Folder listings
' come from the scripting runtime's FileSystemObject (kvParcelin has no
' listing of its own).
Dim fso, folder, f, names, sizes, dates, count, i, j, t, problem

PageStart "Uploaded files"

problem = ""
On Error Resume Next
Set fso = Server.CreateObject("Scripting.FileSystemObject")
If Err.Number <> 0 Then
  problem = "Scripting.FileSystemObject is not available on this server (" & Err.Description & _
            "), so the folder cannot be listed. The files are still reachable under " & UPLOAD_URL & _
            " by the names that receive.asp showed."
ElseIf Not fso.FolderExists(UploadFolder()) Then
  problem = "Nothing has been uploaded yet: the folder " & UPLOAD_URL & " does not exist."
Else
  Set folder = fso.GetFolder(UploadFolder())
  If Err.Number <> 0 Then problem = "The folder cannot be read (" & Err.Description & ")."
End If
On Error GoTo 0

If problem <> "" Then
  Response.Write "<p class=""note"" id=""problem"">" & H(problem) & "</p>" & vbCrLf
Else
  ' Names, sizes and dates into arrays (plain Dim + ReDim), then sorted by name.
  count = 0
  For Each f In folder.Files
    If Left(f.Name, 1) <> "." Then count = count + 1
  Next
  names = Array()
  sizes = Array()
  dates = Array()
  If count > 0 Then
    ReDim names(count - 1)
    ReDim sizes(count - 1)
    ReDim dates(count - 1)
  End If
  i = 0
  For Each f In folder.Files
    If Left(f.Name, 1) <> "." And i < count Then
      names(i) = f.Name
      sizes(i) = f.Size
      dates(i) = f.DateLastModified
      i = i + 1
    End If
  Next
  count = i
  For i = 1 To count - 1
    j = i
    Do While j > 0
      If LCase(names(j - 1)) <= LCase(names(j)) Then Exit Do
      t = names(j) : names(j) = names(j - 1) : names(j - 1) = t
      t = sizes(j) : sizes(j) = sizes(j - 1) : sizes(j - 1) = t
      t = dates(j) : dates(j) = dates(j - 1) : dates(j - 1) = t
      j = j - 1
    Loop
  Next

  If count = 0 Then
    Response.Write "<p id=""empty"">The folder " & H(UPLOAD_URL) & " is empty.</p>" & vbCrLf
  Else
    Response.Write "<p>" & count & " file(s) in " & H(UPLOAD_URL) & ":</p>" & vbCrLf
    Response.Write "<table id=""list"">" & vbCrLf
    Response.Write "<thead><tr><th>Name</th><th>Size (bytes)</th><th>Modified</th></tr></thead>" & vbCrLf
    Response.Write "<tbody>" & vbCrLf
    For i = 0 To count - 1
      Response.Write "<tr class=""file""><td class=""name""><a href=""" & _
                     H(UPLOAD_URL & UrlSegment(names(i))) & """>" & H(names(i)) & "</a></td>"
      Response.Write "<td class=""size"">" & sizes(i) & "</td>"
      Response.Write "<td class=""modified"">" & H(dates(i)) & "</td></tr>" & vbCrLf
    Next
    Response.Write "</tbody>" & vbCrLf & "</table>" & vbCrLf
  End If
End If
PageEnd
%>
