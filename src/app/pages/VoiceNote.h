#pragma once

#include <cstdint>

#include <QByteArray>
#include <QString>

class QTextStream;

namespace talwen {
namespace app {

// Voice notes that play in a page opened from disk. The phone keeps them as SILK
// (".aud"), which no browser plays, and a page opened from file:// may not fetch
// files; so each note is written beside the page as a small script
// ("voice/<file>.js") that hands its bytes, base64, to the page. A click loads it
// and the SILK decoder (js/silk-decoder.js, built from silk-wasm), decodes to PCM
// and plays it as WAV through the note's audio element (js/page.js).

// The texts a reader sees when a note cannot play.
extern const char* const kVoiceMissingText;    // "语音文件不在备份中"
extern const char* const kVoiceUndecodableText;  // "语音文件无法解码"

// What a voice file holds, read from its frame lengths without decoding.
struct SilkVoiceInfo {
    bool silk = false;  // "#!SILK_V3" after the phone's 0x02 byte (or without it)
    int frames = 0;     // 20 ms each
    int64_t milliseconds() const { return static_cast<int64_t>(frames) * 20; }
};

// Bounded: every frame length is checked against what remains, and a cut last
// frame or the end marker (length 0xFFFF) ends the count.
SilkVoiceInfo inspectSilkVoice(const QByteArray& bytes);

// "3.2″": the duration a page shows before a note is decoded.
QString voiceDurationText(int64_t milliseconds);

// A voice note written beside a page.
struct VoiceScript {
    QString name;         // file name in "voice/" without ".js"; empty when not written
    SilkVoiceInfo info;
};

// Notes larger than this are not read (a minute of speech is about 40 KB).
constexpr int64_t kMaxVoiceFileBytes = 8 * 1024 * 1024;

// Reads the regular file `sourcePath` (no link) and writes pageDir + "/voice/" +
// name + ".js", replacing an older one: ids are those of one backup. `name` is the
// backup file name, kept to letters, digits, "-" and "_". Nothing is written for a
// file that cannot be read, is not SILK or holds no whole frame.
VoiceScript writeVoiceScript(const QString& sourcePath, const QString& name, const QString& pageDir);

// The player of a note inside ".chat-voice": the play icon, the audio element
// `audioId` (decoded on the first click), the duration and a status line that says
// in words when the note cannot be decoded; for a note that was not written, only
// the icon and kVoiceUndecodableText.
void writeVoicePlayer(QTextStream& out, bool received, const QString& audioId, const VoiceScript& voice);

// The status line of a note whose file the page does not have.
void writeVoiceProblem(QTextStream& out, const char* text);

}  // namespace app
}  // namespace talwen
