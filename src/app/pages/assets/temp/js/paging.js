/* Long conversations exported as several pages (<name>.html lists them, the pages
   live in <name>_pages/). Every message of a page follows an anchor
   <a class="msg-anchor" id="m<id>" data-t="<seconds, UTC>" [data-d="1" when deleted]>.
   A page's address may end in #end (the newest message), #deleted (the first
   deleted one) or #t=<seconds> (the first message at or after that time). */

/* The pages' own copy of the conversation page's play function, for voice notes
   whose file is missing. */
function playOrPaused(id, obj) {
  var audio = document.getElementById(id);
  if (!audio) return;
  if (audio.paused) { audio.play(); obj.innerHTML = '暂停'; return; }
  audio.pause();
  obj.innerHTML = '播放';
}

function wcrShowMessage(anchor) {
  if (!anchor) return;
  anchor.scrollIntoView();
  var message = anchor.nextElementSibling;
  var old = document.querySelector('.paging-hit');
  if (old) old.classList.remove('paging-hit');
  if (message) message.classList.add('paging-hit');
}

/* The next deleted message below the top of the window, from the first again at the end. */
function wcrNextDeleted() {
  var deleted = document.querySelectorAll('a.msg-anchor[data-d]');
  if (!deleted.length) return;
  for (var i = 0; i < deleted.length; i++) {
    if (deleted[i].getBoundingClientRect().top > 2) { wcrShowMessage(deleted[i]); return; }
  }
  wcrShowMessage(deleted[0]);
}

function wcrFollowHash() {
  var hash = decodeURIComponent(location.hash.slice(1));
  if (hash === 'end') {
    window.scrollTo(0, document.documentElement.scrollHeight);
  } else if (hash === 'deleted') {
    wcrShowMessage(document.querySelector('a.msg-anchor[data-d]'));
  } else if (hash.indexOf('t=') === 0) {
    var t = Number(hash.slice(2));
    var anchors = document.querySelectorAll('a.msg-anchor');
    for (var i = 0; i < anchors.length; i++) {
      if (Number(anchors[i].getAttribute('data-t')) >= t) { wcrShowMessage(anchors[i]); return; }
    }
    wcrShowMessage(anchors[anchors.length - 1]);
  } else if (hash.charAt(0) === 'm') {
    wcrShowMessage(document.getElementById(hash));
  }
}

document.addEventListener('DOMContentLoaded', function () {
  if (!document.querySelector('base')) return;
  wcrFollowHash();
  window.addEventListener('hashchange', wcrFollowHash);
  /* Under <base href="../"> a bare "#" would leave the page for the export folder. */
  document.addEventListener('click', function (event) {
    var link = event.target.closest ? event.target.closest('a[href="#"]') : null;
    if (link) event.preventDefault();
  });
});

/* The table of pages. */
function wcrPagesDir() { return document.getElementById('paging-table').getAttribute('data-dir'); }

function wcrJumpToDate() {
  var value = document.getElementById('jump-date').value;  /* yyyy-mm-dd */
  if (!/^\d{4}-\d{2}-\d{2}$/.test(value)) return;
  var y = Number(value.slice(0, 4)), m = Number(value.slice(5, 7)) - 1, d = Number(value.slice(8, 10));
  /* Midnight in the zone the pages are written in: UTC, or the local time. */
  var utc = document.getElementById('paging-table').getAttribute('data-utc') === '1';
  var t = (utc ? Date.UTC(y, m, d) : new Date(y, m, d).getTime()) / 1000;
  var rows = document.querySelectorAll('#paging-table tbody tr');
  var row = rows[rows.length - 1];
  for (var i = 0; i < rows.length; i++) {
    if (Number(rows[i].getAttribute('data-last')) >= t) { row = rows[i]; break; }
  }
  location.href = row.querySelector('a').getAttribute('href') + '#t=' + t;
}

var wcrSearchData = null;
var wcrSearchLoading = null;
function wcrSearchIndex(data) { wcrSearchData = data; }

function wcrTimeText(seconds) {
  return new Date(seconds * 1000).toISOString().slice(0, 19).replace('T', ' ');
}

/* Finds the text in the conversation's text messages and lists the first 500,
   each linked to its message. The texts load on the first search. */
function wcrSearch() {
  var query = document.getElementById('search-text').value.trim().toLowerCase();
  var results = document.getElementById('search-results');
  if (!query) { results.textContent = ''; return Promise.resolve(0); }
  if (!wcrSearchLoading) {
    results.textContent = '正在载入…';
    wcrSearchLoading = new Promise(function (resolve, reject) {
      var script = document.createElement('script');
      script.src = wcrPagesDir() + '/search.js';
      script.onload = resolve;
      script.onerror = reject;
      document.head.appendChild(script);
    });
  }
  return wcrSearchLoading.then(function () {
    var dir = wcrPagesDir();
    var found = [];
    var items = wcrSearchData.items;
    for (var i = 0; i < items.length; i++) {
      if (items[i][4].toLowerCase().indexOf(query) >= 0) found.push(items[i]);
    }
    results.textContent = '';
    var summary = document.createElement('p');
    summary.className = 'search-summary';
    summary.textContent = '找到 ' + found.length + ' 条' + (found.length > 500 ? '，显示前 500 条' : '');
    results.appendChild(summary);
    var list = document.createElement('ol');
    for (var j = 0; j < found.length && j < 500; j++) {
      var item = found[j];
      var entry = document.createElement('li');
      var link = document.createElement('a');
      link.href = dir + '/' + wcrSearchData.pages[item[0]] + '#m' + item[1];
      link.textContent = wcrTimeText(item[2]) + '（第 ' + (item[0] + 1) + ' 页' + (item[3] ? '，已删除' : '') + '）';
      var text = document.createElement('span');
      text.textContent = item[4].length > 120 ? item[4].slice(0, 120) + '…' : item[4];
      entry.appendChild(link);
      entry.appendChild(text);
      list.appendChild(entry);
    }
    results.appendChild(list);
    return found.length;
  }, function () {
    wcrSearchLoading = null;
    results.textContent = '搜索数据无法载入';
    return -1;
  });
}
