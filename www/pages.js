// Shared by every page (footer.htm).
(function () {
  // A select whose list lacks the unit's current value shows that, and a
  // save leaves the value as it is: the select is then left out of the form.
  var selects = document.querySelectorAll('form select');
  Array.prototype.forEach.call(selects, function (s) {
    if (s.disabled || !s.name || !s.options.length) return;
    for (var i = 0; i < s.options.length; i++) if (s.options[i].defaultSelected) return;
    var keep = document.createElement('option');
    keep.value = '';
    keep.text = 'Unchanged (a setting not in this list)';
    keep.className = 'unlisted';
    s.insertBefore(keep, s.firstChild);
    s.selectedIndex = 0;
    s.form.addEventListener('submit', function () { if (s.value === '') s.disabled = true; });
  });

  // The unit beside a number follows the option chosen in another row: the
  // select names the unit's element in data-unit-of, each option its unit
  // in data-unit.
  Array.prototype.forEach.call(document.querySelectorAll('select[data-unit-of]'), function (s) {
    var unit = document.getElementById(s.getAttribute('data-unit-of'));
    if (!unit) return;
    var show = function () {
      var o = s.options[s.selectedIndex];
      unit.textContent = (o && o.getAttribute('data-unit')) || '';
    };
    s.addEventListener('change', show);
    show();
  });

  // Addresses to paste into a player: data-scheme and data-path around the
  // address this page was loaded from (data-port for a port of its own,
  // data-default-port when that is 0).
  Array.prototype.forEach.call(document.querySelectorAll('.addr[data-path]'), function (el) {
    var scheme = el.getAttribute('data-scheme') || location.protocol.replace(':', '');
    var port = el.getAttribute('data-port');
    if (!port || port === '0') port = el.getAttribute('data-default-port');
    var host = scheme === location.protocol.replace(':', '') && !port ? location.host
      : location.hostname + (port ? ':' + port : '');
    var url = scheme + '://' + host + el.getAttribute('data-path');
    el.textContent = url;
    if (el.tagName === 'A') el.href = url;
  });
})();
