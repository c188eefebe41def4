<%
' Helpers shared by the demo pages (included, never linked to; requested on
' its own it writes nothing).
'
' Charset: a browser encodes form data in the charset of the page that holds
' the form. The demo pages are UTF-8 throughout: each declares CodePage=65001
' in its @ directive (so Response.Write sends UTF-8), sends "charset=utf-8",
' and receive.asp sets the upload object's CodePage to 65001 so that
' file names and fields in any script (Japanese, Greek, "Gruesse" with its
' umlaut and sharp s) come back exactly.
Const SITE_CHARSET = "utf-8"

' The folder the demo saves uploads into, as a URL path and on disk.
Const UPLOAD_URL = "/uploads/"

Function UploadFolder()
  UploadFolder = Server.MapPath(UPLOAD_URL)
  If Right(UploadFolder, 1) <> "\" Then UploadFolder = UploadFolder & "\"
End Function

' Creates the upload folder when it is missing. kvParcelin never creates
' folders, so this uses the scripting runtime's FileSystemObject. Returns ""
' when the folder is there, otherwise why it is not.
Function EnsureUploadFolder()
  Dim fso, folder
  folder = UploadFolder()
  On Error Resume Next
  Set fso = Server.CreateObject("Scripting.FileSystemObject")
  If Err.Number <> 0 Then
    EnsureUploadFolder = "Scripting.FileSystemObject is not available (" & Err.Description & ")"
    Exit Function
  End If
  If Not fso.FolderExists(folder) Then fso.CreateFolder Left(folder, Len(folder) - 1)
  If Err.Number <> 0 Then
    EnsureUploadFolder = "cannot create " & folder & " (" & Err.Description & ")"
  ElseIf Not fso.FolderExists(folder) Then
    EnsureUploadFolder = "the folder " & folder & " is missing"
  Else
    EnsureUploadFolder = ""
  End If
End Function

' HTML-encodes text and shows its line breaks (CR LF, LF or CR) as <br>.
Function HtmlLines(text)
  Dim s
  s = Server.HTMLEncode(text & "")
  s = Replace(s, vbCrLf, vbLf)
  s = Replace(s, vbCr, vbLf)
  HtmlLines = Replace(s, vbLf, "<br>" & vbCrLf)
End Function

Function H(text)
  H = Server.HTMLEncode(text & "")
End Function

' The characters kept in a name on disk. (Tested with InStr: Wine's VBScript
' has no AscW or ChrW.)
Const NAME_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-"

Function IsNameChar(c)
  IsNameChar = (Len(c) = 1 And InStr(1, NAME_CHARS, c, vbBinaryCompare) > 0)
End Function

' Extensions the demo stores: an allow-list, so that nothing the server would
' run as a script or a program reaches the uploads folder (which is inside the
' web site), and no spelling of one either: "x.asp." and "x.asp " have the
' extensions "" and "asp ", which are not on the list. Pass the extension in
' lower case.
Function AllowedExtension(ext)
  Select Case ext
    Case "bin", "dat", "txt", "csv", "pdf", "jpg", "jpeg", "png", "gif", "zip"
      AllowedExtension = True
    Case Else
      AllowedExtension = False
  End Select
End Function

' A URL path segment for a file name: the name characters and "~" as they
' are, any other character percent-encoded by Server.URLEncode (in the
' page's code page; a space becomes %20, not "+", which a path would read as
' a plus sign).
Function UrlSegment(name)
  Dim i, c, r
  r = ""
  For i = 1 To Len(name)
    c = Mid(name, i, 1)
    If IsNameChar(c) Or c = "~" Then
      r = r & c
    ElseIf c = " " Then
      r = r & "%20"
    Else
      r = r & Server.URLEncode(c)
    End If
  Next
  UrlSegment = r
End Function

' The common head of every page.
Sub PageStart(title)
  Response.CharSet = SITE_CHARSET
  Response.Write "<!DOCTYPE html>" & vbCrLf & "<html lang=""en"">" & vbCrLf & "<head>" & vbCrLf
  Response.Write "<meta charset=""" & SITE_CHARSET & """>" & vbCrLf
  Response.Write "<meta name=""viewport"" content=""width=device-width, initial-scale=1"">" & vbCrLf
  Response.Write "<title>" & H(title) & " - kvParcelin demo</title>" & vbCrLf
  Response.Write "<link rel=""stylesheet"" href=""/site.css"">" & vbCrLf
  Response.Write "</head>" & vbCrLf & "<body>" & vbCrLf
  Response.Write "<nav><a href=""/"">Upload</a> <a href=""/list.asp"">Uploaded files</a> " & _
                 "<a href=""/members.asp"">All members</a></nav>" & vbCrLf
  Response.Write "<h1>" & H(title) & "</h1>" & vbCrLf
End Sub

Sub PageEnd()
  Response.Write "</body>" & vbCrLf & "</html>" & vbCrLf
End Sub
%>
