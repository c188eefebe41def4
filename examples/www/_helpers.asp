<%
' Helpers shared by the demo pages (included, never linked to; requested on
' its own it writes nothing).
'
' Charset: kvParcelin reads and writes text in the server's ANSI code page,
' and a browser encodes form data in the charset of the page that holds the
' form. The demo pages therefore go out as windows-1252, the ANSI code page
' of a Western European Windows server (and of Wine's default locale), so
' that names like "Mueller" with an umlaut arrive intact. On a server with
' another ANSI code page, change SITE_CHARSET to that code page's charset.
Const SITE_CHARSET = "windows-1252"

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

' The part after the last dot, or "".
Function ExtOf(name)
  Dim p
  p = InStrRev(name, ".")
  If p = 0 Then
    ExtOf = ""
  Else
    ExtOf = Mid(name, p + 1)
  End If
End Function

' The name a client's file is saved under: the client's file name with every
' character outside A-Z a-z 0-9 . _ - (spaces, punctuation, non-ASCII
' letters) replaced by "_", no dot at the start (no hidden files, no "..")
' and none at the end (Windows drops trailing dots, so "x.asp." would be
' stored as "x.asp"), never a reserved device name, at most 100 characters.
Function SafeName(clientName)
  Dim i, c, r, stem, ext, p
  r = ""
  For i = 1 To Len(clientName)
    c = Mid(clientName, i, 1)
    If IsNameChar(c) Then
      r = r & c
    Else
      r = r & "_"
    End If
  Next
  Do While Right(r, 1) = "."
    r = Left(r, Len(r) - 1)
  Loop
  If Left(r, 1) = "." Then r = "_" & Mid(r, 2)
  If r = "" Then r = "file"
  p = InStr(r, ".")
  If p > 0 Then
    stem = Left(r, p - 1)
  Else
    stem = r
  End If
  Select Case UCase(stem)
    Case "CON", "PRN", "AUX", "NUL", "CLOCK$", _
         "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", _
         "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"
      r = "_" & r
  End Select
  If Len(r) > 100 Then
    ext = ExtOf(r)
    If Len(ext) > 0 And Len(ext) < 20 Then
      r = Left(r, 99 - Len(ext)) & "." & ext
    Else
      r = Left(r, 100)
    End If
  End If
  SafeName = r
End Function

' Extensions the demo refuses to store: the uploads folder is inside the web
' site, so a file that the server would run as a script or a program must
' never reach it.
Function RefusedExtension(name)
  Select Case LCase(ExtOf(name))
    Case "asp", "aspx", "asa", "cer", "exe", "dll", "bat", "cmd", _
         "asax", "ashx", "asmx", "cdx", "config", "shtml", "shtm", "stm", "com", "htr", "idc"
      RefusedExtension = True
    Case Else
      RefusedExtension = False
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
