<%@ Language="VBScript" CodePage=65001 %>
<!-- #include file="_helpers.asp" -->
<%
' The upload page: a form with several kinds of fields, posted to
' receive.asp. It goes out in the site's charset (see _helpers.asp) so that
' the browser sends names and text as UTF-8.
PageStart "Upload files"
%>
<p>Choose some files, fill in the fields and send them. <a href="/receive.asp">receive.asp</a>
saves every file with an allowed extension (bin, dat, txt, csv, pdf, jpg, jpeg, png, gif, zip)
in <a href="/list.asp"><code>/uploads/</code></a> under a name it makes from yours (letters,
digits, blanks, <code>-</code> and <code>_</code> only, and the extension in lower case; device
names such as <code>CON</code> become <code>upload</code>), numbered when taken, and shows what
the upload object saw. While the form is sent, a bar shows how much of it has gone out (with
script off, the form posts as it is and the browser shows its own progress).</p>

<form id="upload" method="post" action="/receive.asp" enctype="multipart/form-data"
      accept-charset="<%= SITE_CHARSET %>">
  <fieldset>
    <legend>Files</legend>
    <label>Main file <input type="file" name="file1" id="file1"></label>
    <label>Second file <input type="file" name="file2" id="file2"></label>
    <label>Documents (several at once) <input type="file" name="docs" id="docs" multiple></label>
    <label>Extra file (optional) <input type="file" name="extra" id="extra"></label>
  </fieldset>
  <fieldset>
    <legend>Fields</legend>
    <label>Title <input type="text" name="title" id="title" size="40"></label>
    <label>Notes <textarea name="notes" id="notes" rows="5" cols="50"></textarea></label>
    <span class="group">Colours
      <label class="inline"><input type="checkbox" name="colour" value="red" id="colour-red"> red</label>
      <label class="inline"><input type="checkbox" name="colour" value="green" id="colour-green"> green</label>
      <label class="inline"><input type="checkbox" name="colour" value="blue" id="colour-blue"> blue</label>
    </span>
    <span class="group">Tags
      <input type="text" name="tag" id="tag1" size="15">
      <input type="text" name="tag" id="tag2" size="15">
    </span>
  </fieldset>
  <p><button type="submit" id="send">Upload</button></p>
</form>
<script src="/upload.js"></script>
<%
PageEnd
%>
