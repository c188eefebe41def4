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

' The characters a URL path segment carries as they are (UrlSegment). Tested
' with InStr: Wine's VBScript has no AscW or ChrW.
Const URL_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-~"

' The ASCII characters a saved name keeps; every character beyond ASCII is
' kept too (a letter or digit of another script, such as the Japanese or the
' e with its accent in a name).
Const STEM_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -_"

Dim asciiChars   ' Chr(0) to Chr(127), the same in every code page: made once

' Whether c is an ASCII character: what AscW(c) <= 127 (and not below 0)
' would say, without AscW.
Function IsAscii(c)
  Dim i
  If IsEmpty(asciiChars) Then
    asciiChars = ""
    For i = 0 To 127
      asciiChars = asciiChars & Chr(i)
    Next
  End If
  IsAscii = (InStr(1, asciiChars, c, vbBinaryCompare) > 0)
End Function

' CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9 (with any extension, in any
' letter case) open a device in every folder instead of a file. Windows also
' reserves COM and LPT with a superscript digit: any COM or LPT with one
' more character is refused, which costs only a fixed name.
Function IsDeviceName(name)
  Dim stem, p
  p = InStr(name, ".")
  If p > 0 Then stem = Left(name, p - 1) Else stem = name
  stem = UCase(Trim(stem))
  IsDeviceName = (stem = "CON" Or stem = "PRN" Or stem = "AUX" Or stem = "NUL" Or _
    (Len(stem) = 4 And (Left(stem, 3) = "COM" Or Left(stem, 3) = "LPT")))
End Function

' The base name a saved file gets, made from the client's bare name
' (NameOnly); the page adds "." and an extension from the allow-list.
Function SafeStem(nameOnly)
  Dim i, c, r
  r = ""
  For i = 1 To Len(nameOnly)
    c = Mid(nameOnly, i, 1)
    ' Letters, digits, blank, "-" and "_" only: no dot (a second extension
    ' such as "shell.asp"), no "\ / :" (folders, drives, streams), no
    ' "* ? < > | %" (wildcards, escapes) and no control characters.
    If InStr(1, STEM_CHARS, c, vbBinaryCompare) > 0 Or Not IsAscii(c) Then r = r & c
  Next
  ' Windows drops blanks and dots from the end of a name, and a blank in
  ' front is easily missed.
  Do While Left(r, 1) = " " Or Left(r, 1) = "."
    r = Mid(r, 2)
  Loop
  Do While Right(r, 1) = " " Or Right(r, 1) = "."
    r = Left(r, Len(r) - 1)
  Loop
  ' Nothing left, or a device name: a fixed name instead (mode 2 numbers it).
  If r = "" Or IsDeviceName(r) Then r = "upload"
  SafeStem = r
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
    If InStr(1, URL_CHARS, c, vbBinaryCompare) > 0 Then
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
