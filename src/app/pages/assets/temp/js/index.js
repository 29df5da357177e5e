/* Sorting and filtering of the export's index table: no framework, the table is
   complete without this script. A header button sorts by its column (again:
   the other way); the search field, the category choice and the deleted-only box
   hide the rows that do not match. */
(function () {
  'use strict';

  function ready(fn) {
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', fn);
    else fn();
  }

  ready(function () {
    var table = document.getElementById('index-table');
    if (!table) return;
    var body = table.tBodies[0];
    var headers = table.tHead.rows[0].cells;
    var filter = document.getElementById('index-filter');
    var category = document.getElementById('index-category');
    var deletedOnly = document.getElementById('index-deleted');
    var shown = document.getElementById('index-shown');
    var empty = document.getElementById('index-empty');

    function cellValue(row, column, type) {
      var text = row.cells[column].getAttribute('data-sort') || '';
      return type === 'number' ? Number(text) : text;
    }

    function sortBy(column) {
      var header = headers[column];
      var type = header.getAttribute('data-type');
      var ascending = header.getAttribute('aria-sort') !== 'ascending';
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = cellValue(a, column, type);
        var y = cellValue(b, column, type);
        var order = type === 'number' ? x - y : x.localeCompare(y, 'zh');
        return ascending ? order : -order;
      });
      for (var i = 0; i < headers.length; i++) headers[i].setAttribute('aria-sort', 'none');
      header.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
      var fragment = document.createDocumentFragment();
      rows.forEach(function (row) { fragment.appendChild(row); });
      body.appendChild(fragment);
    }

    function applyFilter() {
      var needle = filter.value.trim().toLowerCase();
      var wanted = category.value;
      var count = 0;
      Array.prototype.forEach.call(body.rows, function (row) {
        var matches = (!wanted || row.getAttribute('data-category') === wanted) &&
          (!deletedOnly.checked || Number(row.getAttribute('data-deleted')) > 0) &&
          (!needle || row.cells[0].textContent.toLowerCase().indexOf(needle) >= 0);
        row.hidden = !matches;
        if (matches) count++;
      });
      shown.textContent = '显示 ' + count + ' / ' + body.rows.length + ' 个会话';
      empty.hidden = count > 0;
    }

    Array.prototype.forEach.call(headers, function (header, column) {
      header.querySelector('button').addEventListener('click', function () { sortBy(column); });
    });
    filter.addEventListener('input', applyFilter);
    category.addEventListener('change', applyFilter);
    deletedOnly.addEventListener('change', applyFilter);
    applyFilter();
  });
})();
