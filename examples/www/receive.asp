<%@ Language="VBScript" CodePage=65001 %>
<!-- #include file="_helpers.asp" -->
<%
' Receives the form of default.asp: saves every file whose extension is on
' the allow-list in /uploads/ under a name the page makes from the client's
' (SafeStem of NameOnly, a dot and the lower-case extension; never replacing
' a file that is there: overwrite mode 2 numbers the new name instead), and
' shows the files and the form fields as the upload object reports them.
'
' Never use Request.Form (or Request("name")) on this page: the upload
' object reads the request body itself.
Dim up, i, n, folderProblem, folder, clientName, ext, savedName, outcome, rowClass

Set up = Server.CreateObject("kvParcelin.process")   ' reads and parses the whole body
up.CodePage = 65001   ' the form was sent as UTF-8: names and values are read as UTF-8
up.OverwriteMode = 2

PageStart "Upload received"

folderProblem = EnsureUploadFolder()
folder = UploadFolder()

If up.TotalBytes = 0 Then
  Response.Write "<p class=""note"">No upload arrived. Send the <a href=""/"">form</a> first.</p>" & vbCrLf
ElseIf up.FileQty = 0 And up.VarCount = 0 Then
  Response.Write "<p class=""error"">The request body could not be read as form data.</p>" & vbCrLf
End If
If up.Status = 2 Then
  Response.Write "<p class=""error"">The upload was cut off: the last file is missing.</p>" & vbCrLf
End If
If folderProblem <> "" Then
  Response.Write "<p class=""error"">Files cannot be saved: " & H(folderProblem) & "</p>" & vbCrLf
End If
%>
<dl class="summary">
  <dt>Status</dt><dd id="status"><%= up.Status %></dd>
  <dt>TotalBytes</dt><dd id="totalbytes"><%= up.TotalBytes %></dd>
  <dt>FileQty</dt><dd id="fileqty"><%= up.FileQty %></dd>
  <dt>VarCount</dt><dd id="varcount"><%= up.VarCount %></dd>
</dl>

<h2>Files</h2>
<%
If up.FileQty = 0 Then
  Response.Write "<p id=""nofiles"">No file arrived.</p>" & vbCrLf
Else
%>
<table id="files">
<thead><tr><th>#</th><th>LocalName</th><th>FileName</th><th>Saved as (NewName)</th>
<th>ContentType</th><th>FileSize</th><th>Link</th></tr></thead>
<tbody>
<%
  For i = 0 To up.FileQty - 1
    clientName = up.FileName(i)
    ext = LCase(up.Extension(i))
    savedName = ""
    If Not AllowedExtension(ext) Then
      outcome = "refused"
      rowClass = "file refused"
    ElseIf folderProblem <> "" Then
      outcome = "not saved"
      rowClass = "file error"
    Else
      On Error Resume Next
      ' The page makes the name from the client's, cleaned: as sent it could be
      ' shell.asp, shell.asp. or CON, and the extension comes from the allow-list.
      up.FileSave folder & SafeStem(up.NameOnly(i)) & "." & ext, i
      If Err.Number <> 0 Then
        outcome = "not saved: " & Err.Description
        rowClass = "file error"
      Else
        savedName = up.NewName(i)
        outcome = savedName
        rowClass = "file saved"
      End If
      On Error GoTo 0
    End If
    Response.Write "<tr class=""" & rowClass & """ data-index=""" & i & """>"
    Response.Write "<td>" & i & "</td>"
    Response.Write "<td class=""localname"">" & H(up.LocalName(i)) & "</td>"
    Response.Write "<td class=""filename"">" & H(clientName) & "</td>"
    Response.Write "<td class=""newname"">" & H(outcome) & "</td>"
    Response.Write "<td class=""contenttype"">" & H(up.ContentType(i)) & "</td>"
    Response.Write "<td class=""size"">" & up.FileSize(i) & "</td>"
    If savedName <> "" Then
      Response.Write "<td class=""link""><a href=""" & H(UPLOAD_URL & UrlSegment(savedName)) & """>" & _
                     H(UPLOAD_URL & savedName) & "</a></td>"
    Else
      Response.Write "<td class=""link""></td>"
    End If
    Response.Write "</tr>" & vbCrLf
  Next
%>
</tbody>
</table>
<%
End If
%>

<h2>Form fields</h2>
<%
If up.VarCount = 0 Then
  Response.Write "<p id=""novars"">No form field arrived.</p>" & vbCrLf
Else
%>
<table id="fields">
<thead><tr><th>#</th><th>VarName</th><th>VarByIndex</th><th>TagNameIndex</th></tr></thead>
<tbody>
<%
  For i = 0 To up.VarCount - 1
    n = up.VarName(i)
    Response.Write "<tr class=""field"" data-index=""" & i & """>"
    Response.Write "<td>" & i & "</td>"
    Response.Write "<td class=""name"">" & H(n) & "</td>"
    Response.Write "<td class=""value"">" & HtmlLines(up.VarByIndex(i)) & "</td>"
    Response.Write "<td class=""tagindex"">" & up.TagNameIndex(n) & "</td>"
    Response.Write "</tr>" & vbCrLf
  Next
%>
</tbody>
</table>
<%
End If
%>
<p class="note">File names and form values are the client's text, shown HTML-encoded.
ContentType is what the browser claimed, not checked. TagNameIndex is the index of the first
file that the field of that name delivered, -1 when it delivered none.</p>
<p><a href="/">Upload more</a> &middot; <a href="/list.asp">All uploaded files</a></p>
<%
Set up = Nothing
PageEnd
%>
