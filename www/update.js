// Firmware images and web bundles go as the request body itself, which a
// plain form cannot send: each upload form posts its file raw, then shows
// the page named in its data-done, or the answer itself when the upload was
// refused (it says why).
(function () {
  if (!window.fetch) return;
  var forms = document.querySelectorAll('form.raw-upload');
  Array.prototype.forEach.call(forms, function (form) {
    var file = form.querySelector('input[type=file]');
    form.addEventListener('submit', function (ev) {
      ev.preventDefault();
      if (!file.files.length) {
        alert('Choose a file first.');
        return;
      }
      fetch(form.getAttribute('action'), { method: 'POST', body: file.files[0], credentials: 'same-origin' })
        .then(function (reply) {
          if (reply.ok) {
            window.location = form.getAttribute('data-done');
            return;
          }
          return reply.text().then(function (page) {
            document.open();
            document.write(page);
            document.close();
          });
        })
        .catch(function () { alert('The upload failed.'); });
    });
  });
})();
