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

/* Voice notes. The phone keeps them as SILK, which no browser plays, and a page
   opened from file:// may not fetch files. A click loads the note's bytes
   (voice/<file>.js calls wcrVoiceData), then once the decoder (js/silk-decoder.js,
   silk-wasm with its WebAssembly inlined), decodes to 16-bit PCM and plays it as
   WAV through the note's audio element. Nothing loads before the first click. */
var wcrVoiceRate = 24000;  /* the phone records at 24 kHz */
var wcrVoiceBytes = {};
var wcrDecoderLoading = null;

function wcrVoiceData(name, base64) { wcrVoiceBytes[name] = base64; }

function wcrLoadScript(src) {
  return new Promise(function (resolve, reject) {
    var script = document.createElement('script');
    script.src = src;
    script.onload = resolve;
    script.onerror = function () { reject(new Error('cannot load ' + src)); };
    document.head.appendChild(script);
  });
}

/* The note's bytes as the decoder takes them: the phone's 0x02 byte before
   "#!SILK_V3" is what silk-wasm expects, so a file without it gets one. */
function wcrSilkBytes(base64) {
  var text = atob(base64);
  var plain = text.slice(0, 9) === '#!SILK_V3';
  if (!plain && text.slice(0, 10) !== '\x02#!SILK_V3') throw new Error('not SILK');
  var offset = plain ? 1 : 0;
  var bytes = new Uint8Array(text.length + offset);
  bytes[0] = 2;
  for (var i = 0; i < text.length; i++) bytes[i + offset] = text.charCodeAt(i);
  return bytes;
}

/* Decodes the note of an audio element: a promise of its PCM (s16le, mono). */
function wcrDecodeVoice(audio) {
  var name = audio.getAttribute('data-voice');
  var bytes = wcrVoiceBytes[name] ? Promise.resolve() : wcrLoadScript('voice/' + name + '.js');
  return bytes.then(function () {
    if (!wcrDecoderLoading) wcrDecoderLoading = window.wcrSilk ? Promise.resolve() : wcrLoadScript('js/silk-decoder.js');
    return wcrDecoderLoading;
  }).then(function () {
    if (!wcrVoiceBytes[name]) throw new Error('no data');
    return wcrSilk.decode(wcrSilkBytes(wcrVoiceBytes[name]), wcrVoiceRate);
  }).then(function (result) {
    if (!result.data || result.data.length < 2) throw new Error('no samples');
    return result.data;
  });
}

function wcrWav(pcm, rate) {
  var header = new DataView(new ArrayBuffer(44));
  var put = function (offset, text) { for (var i = 0; i < text.length; i++) header.setUint8(offset + i, text.charCodeAt(i)); };
  put(0, 'RIFF'); header.setUint32(4, 36 + pcm.length, true); put(8, 'WAVE');
  put(12, 'fmt '); header.setUint32(16, 16, true); header.setUint16(20, 1, true); header.setUint16(22, 1, true);
  header.setUint32(24, rate, true); header.setUint32(28, rate * 2, true); header.setUint16(32, 2, true);
  header.setUint16(34, 16, true);
  put(36, 'data'); header.setUint32(40, pcm.length, true);
  return new Blob([header.buffer, pcm], { type: 'audio/wav' });
}

function wcrVoiceDurationText(seconds) { return seconds.toFixed(1) + '\u2033'; }

/* The play icon of a note: decodes it on the first click, then plays or pauses. */
function wcrPlayVoice(id, icon) {
  var audio = document.getElementById(id);
  if (!audio) return;
  var state = audio.getAttribute('data-state');
  if (state === 'ready') {
    if (audio.paused) audio.play().catch(function () {}); else audio.pause();
    return;
  }
  if (state === 'decoding' || state === 'failed') return;
  var box = audio.parentNode;
  var status = box.querySelector('.voice-status');
  audio.setAttribute('data-state', 'decoding');
  status.textContent = '正在解码…';
  wcrDecodeVoice(audio).then(function (pcm) {
    audio.setAttribute('data-pcm-bytes', String(pcm.length));
    audio.src = URL.createObjectURL(wcrWav(pcm, wcrVoiceRate));
    audio.controls = true;
    box.querySelector('.voice-duration').textContent = wcrVoiceDurationText(pcm.length / 2 / wcrVoiceRate);
    status.textContent = '';
    audio.setAttribute('data-state', 'ready');
    audio.play().catch(function () {});
  }, function () {
    audio.setAttribute('data-state', 'failed');
    status.textContent = '语音无法解码';
    status.className = 'voice-status voice-failed';
  });
}
