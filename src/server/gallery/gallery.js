// The gallery's script: sorting and the list view, the viewer over the page
// (keys, swipe, buttons, slideshow), and uploads with a progress bar each.
// The page works without it: every link leads to the folder or the file.
'use strict';
(function () {
  var list = document.getElementById('entries');
  var tools = document.querySelector('.tools');

  // Sorting and the view.
  if (list && tools) {
    tools.hidden = false;
    var sortBy = 'name';
    var ascending = true;
    var keyOf = {
      name: function (li) { return li.querySelector('b').textContent; },
      date: function (li) { return Number(li.dataset.t); },
      size: function (li) { return Number(li.dataset.s || 0); }
    };
    var sort = function () {
      var items = Array.prototype.slice.call(list.children);
      var key = keyOf[sortBy];
      items.sort(function (a, b) {
        var da = a.classList.contains('d'), db = b.classList.contains('d');
        if (da !== db) return da ? -1 : 1;
        var ka = key(a), kb = key(b);
        var c = typeof ka === 'string'
          ? ka.localeCompare(kb, undefined, { numeric: true, sensitivity: 'base' }) : ka - kb;
        return ascending ? c : -c;
      });
      items.forEach(function (li) { list.appendChild(li); });
    };
    tools.querySelectorAll('[data-sort]').forEach(function (b) {
      b.addEventListener('click', function () {
        var by = b.dataset.sort;
        // A second press turns the order round; date and size start newest and largest.
        ascending = by === sortBy ? !ascending : by === 'name';
        sortBy = by;
        tools.querySelectorAll('[data-sort]').forEach(function (o) {
          o.setAttribute('aria-pressed', String(o === b));
        });
        b.title = ascending ? 'ascending' : 'descending';
        sort();
      });
    });
    var viewButton = tools.querySelector('.view');
    var setView = function (asList) {
      document.body.classList.toggle('list', asList);
      viewButton.setAttribute('aria-pressed', String(asList));
      try { localStorage.setItem('mirelo-view', asList ? 'list' : 'grid'); } catch (e) { /* none */ }
    };
    viewButton.addEventListener('click', function () {
      setView(!document.body.classList.contains('list'));
    });
    try { if (localStorage.getItem('mirelo-view') === 'list') setView(true); } catch (e) { /* none */ }
  }

  // The viewer.
  var viewer = null, stage, nameBox, download, posBox, playButton, current = -1, items = [];
  var timer = null, opener = null;
  var el = function (tag, attrs, text) {
    var e = document.createElement(tag);
    Object.keys(attrs || {}).forEach(function (k) { e.setAttribute(k, attrs[k]); });
    if (text) e.textContent = text;
    return e;
  };
  // The file's path as the /.mirelo/ addresses take it, from its download
  // link ("/download?" and the path, each part encoded, a space as "+").
  var dotPath = function (a) {
    return a.getAttribute('href').slice('/download?'.length).replace(/\+/g, '%20');
  };
  var kindOf = function (a) {
    var c = a.parentNode.className;
    return c === 'p' || c === 'i' ? 'i' : c;
  };
  var previewOf = function (a) { return '/.mirelo/preview/' + dotPath(a); };
  var viewOf = function (a) { return '/.mirelo/view/' + dotPath(a); };
  var nameOf = function (a) { return a.querySelector('b').textContent; };
  var shownItems = 'li.p > a, li.i > a, li.v > a, li.a > a';
  // A picture: the screen-sized preview, else the picture itself.
  var loadPicture = function (img, a) {
    img.onerror = function () { img.onerror = null; img.src = viewOf(a); };
    img.src = previewOf(a);
  };
  var build = function () {
    viewer = el('div', { class: 'viewer', role: 'dialog', 'aria-modal': 'true',
                         'aria-labelledby': 'vname', tabindex: '-1', hidden: '' });
    stage = el('div', { class: 'stage' });
    var bar = el('div', { class: 'vbar' });
    nameBox = el('span', { class: 'vname', id: 'vname' });
    var prev = el('button', { type: 'button', class: 'vprev', 'aria-label': 'Previous' }, '\u2039 Previous');
    var next = el('button', { type: 'button', class: 'vnext', 'aria-label': 'Next' }, 'Next \u203a');
    playButton = el('button', { type: 'button', class: 'vplay', 'aria-pressed': 'false' }, 'Slideshow');
    download = el('a', { class: 'vdl' }, 'Download original');
    posBox = el('span', { class: 'vpos', 'aria-live': 'polite' });
    var close = el('button', { type: 'button', class: 'vclose', 'aria-label': 'Close' }, '\u2715 Close');
    [nameBox, prev, next, playButton, download, posBox, close].forEach(function (e) { bar.appendChild(e); });
    viewer.appendChild(stage);
    viewer.appendChild(bar);
    document.body.appendChild(viewer);
    prev.addEventListener('click', function () { step(-1); });
    next.addEventListener('click', function () { step(1); });
    close.addEventListener('click', hide);
    playButton.addEventListener('click', function () { slideshow(timer === null); });
    // Keys reach the viewer wherever the focus is while it is open.
    document.addEventListener('keydown', function (e) {
      if (viewer.hidden) return;
      if (e.key === 'ArrowRight') { step(1); e.preventDefault(); }
      else if (e.key === 'ArrowLeft') { step(-1); e.preventDefault(); }
      else if (e.key === 'Escape') { hide(); e.preventDefault(); }
      else if (e.key === 'Tab') {
        // Focus stays inside the viewer while it is open.
        var f = viewer.querySelectorAll('button, a[href], video, audio');
        var first = f[0], last = f[f.length - 1];
        var inside = viewer.contains(document.activeElement) && document.activeElement !== viewer;
        if (e.shiftKey && (!inside || document.activeElement === first)) { last.focus(); e.preventDefault(); }
        else if (!e.shiftKey && (!inside || document.activeElement === last)) { first.focus(); e.preventDefault(); }
      }
    });
    var x0 = null, y0 = null;
    stage.addEventListener('touchstart', function (e) {
      if (e.touches.length !== 1) { x0 = null; return; }
      x0 = e.touches[0].clientX; y0 = e.touches[0].clientY;
    }, { passive: true });
    stage.addEventListener('touchend', function (e) {
      if (x0 === null || !e.changedTouches.length) return;
      var dx = e.changedTouches[0].clientX - x0, dy = e.changedTouches[0].clientY - y0;
      x0 = null;
      if (Math.abs(dx) > 40 && Math.abs(dx) > Math.abs(dy)) step(dx < 0 ? 1 : -1);
    });
  };
  var show = function (i) {
    current = (i + items.length) % items.length;
    var a = items[current];
    var media = stage.querySelector('video, audio');
    if (media) media.pause();
    stage.textContent = '';
    var kind = kindOf(a), shown;
    if (kind === 'i') {
      shown = el('img', { alt: nameOf(a) });
      loadPicture(shown, a);
    } else {
      shown = el(kind === 'v' ? 'video' : 'audio', { controls: '', preload: 'metadata' });
      shown.src = viewOf(a);
      if (timer !== null) shown.autoplay = true;
    }
    stage.appendChild(shown);
    nameBox.textContent = nameOf(a);
    download.href = a.getAttribute('href');
    posBox.textContent = (current + 1) + ' of ' + items.length;
    // The next picture is fetched ahead.
    var next = items[(current + 1) % items.length];
    if (next && next !== a && kindOf(next) === 'i') loadPicture(new Image(), next);
  };
  var step = function (d) { if (items.length) show(current + d); };
  var slideshow = function (on) {
    if (timer !== null) { clearInterval(timer); timer = null; }
    if (on) timer = setInterval(function () { step(1); }, 4000);
    playButton.setAttribute('aria-pressed', String(on));
    playButton.textContent = on ? 'Stop slideshow' : 'Slideshow';
  };
  var hide = function () {
    slideshow(false);
    var media = stage.querySelector('video, audio');
    if (media) media.pause();
    stage.textContent = '';
    viewer.hidden = true;
    document.body.classList.remove('open');
    if (opener) opener.focus();
  };
  if (list) {
    list.addEventListener('click', function (e) {
      var a = e.target.closest(shownItems);
      if (!a || e.ctrlKey || e.metaKey || e.shiftKey || e.altKey || e.button !== 0) return;
      e.preventDefault();
      if (!viewer) build();
      items = Array.prototype.slice.call(list.querySelectorAll(shownItems));
      opener = a;
      viewer.hidden = false;
      document.body.classList.add('open');
      show(items.indexOf(a));
      viewer.querySelector('.vclose').focus();
    });
  }

  // Uploads: each file its own post, with its progress and the server's answer.
  var form = document.querySelector('form.upload');
  if (form) {
    var progress = form.querySelector('.progress');
    var answerText = function (xhr) {
      var text = xhr.responseText || '';
      if (/html/i.test(xhr.getResponseHeader('Content-Type') || '')) {
        text = new DOMParser().parseFromString(text, 'text/html').body.textContent || '';
      }
      text = text.replace(/\s+/g, ' ').trim();
      return text.length > 200 ? text.slice(0, 200) + '\u2026' : text;
    };
    var sendOne = function (file) {
      return new Promise(function (done) {
        var row = el('li');
        var label = el('span', { class: 'un' }, file.name);
        var bar = el('progress', { max: '100', value: '0', 'aria-label': 'Upload of ' + file.name });
        var status = el('span', { class: 'st' }, 'Sending\u2026');
        row.appendChild(label); row.appendChild(bar); row.appendChild(status);
        progress.appendChild(row);
        var xhr = new XMLHttpRequest();
        xhr.open('POST', form.getAttribute('action'));
        xhr.upload.onprogress = function (e) {
          if (e.lengthComputable) bar.value = Math.round((e.loaded * 100) / e.total);
        };
        xhr.onload = function () {
          var ok = xhr.status >= 200 && xhr.status < 300;
          var text = answerText(xhr);
          if (ok) bar.value = 100;
          status.textContent = (ok ? 'Uploaded' : 'Refused (' + xhr.status + ')') + (text ? ': ' + text : '');
          status.classList.toggle('bad', !ok);
          done(ok);
        };
        xhr.onerror = xhr.onabort = function () {
          status.textContent = 'Failed: the connection was lost';
          status.classList.add('bad');
          done(false);
        };
        var data = new FormData();
        data.append('file', file, file.name);
        xhr.send(data);
      });
    };
    var sendAll = function (files) {
      var chain = Promise.resolve(0);
      Array.prototype.forEach.call(files, function (f) {
        chain = chain.then(function (n) { return sendOne(f).then(function (ok) { return n + (ok ? 1 : 0); }); });
      });
      return chain.then(function (n) {
        if (n > 0 && !form.querySelector('.again')) {
          var again = el('a', { class: 'again', href: location.pathname }, 'Show the new files');
          form.appendChild(again);
        }
      });
    };
    var input = form.querySelector('input[type=file]');
    form.addEventListener('submit', function (e) {
      e.preventDefault();
      if (input.files.length) sendAll(input.files).then(function () { input.value = ''; });
    });
    document.addEventListener('dragover', function (e) {
      if (e.dataTransfer && Array.prototype.indexOf.call(e.dataTransfer.types, 'Files') >= 0) {
        e.preventDefault();
        document.body.classList.add('dropping');
      }
    });
    document.addEventListener('dragleave', function (e) {
      if (!e.relatedTarget) document.body.classList.remove('dropping');
    });
    document.addEventListener('drop', function (e) {
      document.body.classList.remove('dropping');
      if (e.dataTransfer && e.dataTransfer.files.length) {
        e.preventDefault();
        sendAll(e.dataTransfer.files);
      }
    });
  }
})();
