/* Script of the conversation pages. Voice notes are played by the inline
   playOrPaused function of each page. */

/* The view of a long conversation shows its latest messages first; the
   load-earlier link above them leads to the earlier ones. The view catches the
   link and calls wcrPrependEarlier with their HTML and the next link (null when
   nothing is earlier). The reader's place is kept. */
function wcrPrependEarlier(html, nextLink) {
  var marker = document.getElementById('load-earlier');
  if (!marker) return;
  var root = document.documentElement;
  var before = root.scrollHeight;
  marker.insertAdjacentHTML('afterend', html);
  if (nextLink) {
    marker.firstChild.setAttribute('href', nextLink);
  } else {
    marker.parentNode.removeChild(marker);
  }
  window.scrollBy(0, root.scrollHeight - before);
}

/* Reaching the top asks for the earlier messages, once per link. */
window.addEventListener('scroll', function () {
  var marker = document.getElementById('load-earlier');
  if (!marker || window.pageYOffset > 0) return;
  var link = marker.firstChild;
  if (link.getAttribute('data-asked') === link.getAttribute('href')) return;
  link.setAttribute('data-asked', link.getAttribute('href'));
  link.click();
});
