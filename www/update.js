// The firmware upload takes the file itself as the request body, which a
// plain form cannot send: post it raw and show the status page.
(function () {
  var form = document.getElementById('firmware-form');
  var file = document.getElementById('firmware-file');
  if (!form || !file || !window.fetch) return;
  form.addEventListener('submit', function (ev) {
    ev.preventDefault();
    if (!file.files.length) {
      alert('Choose a firmware file first.');
      return;
    }
    fetch('/firmware', { method: 'POST', body: file.files[0], credentials: 'same-origin' })
      .then(function () { window.location = '/admin_update_status.htm'; })
      .catch(function () { alert('The upload failed.'); });
  });
})();
