// The upload page's progress bar. Without script the form posts as any form
// does and the browser shows receive.asp's answer. With script, this sends the
// same form data with XMLHttpRequest, shows how much of it has gone out, and
// then puts receive.asp's answer in place of the page. A browser without
// FormData or upload progress keeps the plain form. Plain ES5, no libraries.
(function () {
  'use strict';
  var form = document.getElementById('upload');
  var probe = window.XMLHttpRequest && new XMLHttpRequest();
  if (!form || !window.FormData || !probe || !probe.upload) return;

  var MiB = 1024 * 1024;
  var box = null, bar = null, text = null;

  function megabytes(n) {
    return (n / MiB).toFixed(1) + ' MiB';
  }

  // The bar and its line of text, made on the first submit, below the button.
  function showBar() {
    if (!box) {
      box = document.createElement('p');
      box.id = 'progress-box';
      bar = document.createElement('progress');
      bar.id = 'progress';
      bar.max = 100;
      text = document.createElement('span');
      text.id = 'progress-text';
      box.appendChild(bar);
      box.appendChild(document.createTextNode(' '));
      box.appendChild(text);
      form.appendChild(box);
    }
    box.className = '';
    bar.value = 0;
    text.textContent = 'Sending...';
  }

  function fail(message) {
    box.className = 'error';
    text.textContent = message;
    form.querySelector('button[type=submit]').disabled = false;
  }

  // The answer as the browser would have shown it: its title and its body.
  function showAnswer(doc) {
    document.title = doc.title;
    document.documentElement.replaceChild(document.importNode(doc.body, true), document.body);
    window.scrollTo(0, 0);
  }

  form.addEventListener('submit', function (event) {
    event.preventDefault();
    var data = new FormData(form);
    var xhr = new XMLHttpRequest();
    form.querySelector('button[type=submit]').disabled = true;
    showBar();

    xhr.upload.addEventListener('progress', function (e) {
      if (!e.lengthComputable || e.total === 0) return;
      // Rounded down: 100 only once every byte has gone out.
      bar.value = Math.floor((e.loaded * 100) / e.total);
      text.textContent = bar.value + ' % (' + megabytes(e.loaded) + ' of ' + megabytes(e.total) + ')';
    });
    xhr.upload.addEventListener('load', function () {
      bar.value = 100;
      text.textContent = '100 %: sent, the server is saving the files...';
    });
    xhr.addEventListener('load', function () {
      // Any HTML answer is shown, an error page too (a 413 for a body above
      // the server's limit, for example), as the plain form would show it.
      var doc = xhr.response;
      if (doc && doc.body) {
        showAnswer(doc);
      } else {
        fail('The server answered ' + xhr.status + ' ' + xhr.statusText + '.');
      }
    });
    xhr.addEventListener('error', function () {
      fail('The upload failed: the connection to the server was lost.');
    });
    xhr.addEventListener('abort', function () {
      fail('The upload was stopped.');
    });

    xhr.open('POST', form.getAttribute('action'));
    xhr.responseType = 'document';
    xhr.send(data);
  });
})();
