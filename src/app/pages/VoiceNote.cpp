#include "app/pages/VoiceNote.h"

#include <cstring>

#include <QDir>
#include <QFile>
#include <QTextStream>

#include "backup/ReadOnlyFile.h"

namespace talwen {
namespace app {

const char* const kVoiceMissingText = "语音文件不在备份中";
const char* const kVoiceUndecodableText = "语音文件无法解码";

namespace {

const char kSilkMagic[] = "#!SILK_V3";
constexpr int kSilkMagicSize = sizeof kSilkMagic - 1;
constexpr uint16_t kEndMarker = 0xFFFF;

bool safeVoiceName(const QString& name) {
    if (name.isEmpty() || name.size() > 128) return false;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool ok = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '-' ||
                        u == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

SilkVoiceInfo inspectSilkVoice(const QByteArray& bytes) {
    SilkVoiceInfo info;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto* const limit = p + bytes.size();
    if (p < limit && *p == 0x02) ++p;  // the phone's own prefix
    if (limit - p < kSilkMagicSize || std::memcmp(p, kSilkMagic, kSilkMagicSize) != 0) return info;
    p += kSilkMagicSize;
    info.silk = true;
    while (limit - p >= 2) {
        const uint16_t size = static_cast<uint16_t>(p[0] | (p[1] << 8));
        if (size == kEndMarker || size > limit - p - 2) break;
        p += 2 + size;
        ++info.frames;
    }
    return info;
}

QString voiceDurationText(int64_t milliseconds) {
    return QString::number(static_cast<double>(milliseconds) / 1000.0, 'f', 1) + QChar(0x2033);
}

VoiceScript writeVoiceScript(const QString& sourcePath, const QString& name, const QString& pageDir) {
    VoiceScript voice;
    if (!safeVoiceName(name) || pageDir.isEmpty()) return voice;
    const std::optional<QByteArray> bytes = backup::ReadOnlyFile::readAll(sourcePath, kMaxVoiceFileBytes);
    if (!bytes) return voice;
    voice.info = inspectSilkVoice(*bytes);
    // Without a whole frame the decoder would make up silence.
    if (!voice.info.silk || voice.info.frames == 0) return voice;
    const QString dir = pageDir + QStringLiteral("/voice");
    if (!QDir().mkpath(dir)) return voice;
    QFile file(dir + QStringLiteral("/") + name + QStringLiteral(".js"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return voice;
    // Both strings are of our own alphabet (the name checked above, base64), so
    // nothing from the backup can end the string or the script.
    const QByteArray script = QByteArrayLiteral("wcrVoiceData(\"") + name.toLatin1() + QByteArrayLiteral("\",\"") +
                              bytes->toBase64() + QByteArrayLiteral("\");\n");
    if (file.write(script) != script.size() || !file.flush()) {
        file.close();
        file.remove();
        return voice;
    }
    voice.name = name;
    return voice;
}

void writeVoicePlayer(QTextStream& out, bool received, const QString& audioId, const VoiceScript& voice) {
    const char* icon = received ? "images/icon-voice_0.png" : "images/icon-voice.png";
    if (voice.name.isEmpty()) {
        out << R"HTML(<img  src=")HTML" << icon << R"HTML(">)HTML";
        writeVoiceProblem(out, kVoiceUndecodableText);
        return;
    }
    out << R"HTML(<img  class="voice-play" onclick="wcrPlayVoice(')HTML" << audioId << R"HTML(',this);" src=")HTML"
        << icon << R"HTML(">)HTML"
        << R"HTML(<audio preload="none" id=")HTML" << audioId << R"HTML(" data-voice=")HTML" << voice.name
        << R"HTML("></audio><span class="voice-duration">)HTML" << voiceDurationText(voice.info.milliseconds())
        << R"HTML(</span><span class="voice-status"></span>)HTML";
}

void writeVoiceProblem(QTextStream& out, const char* text) {
    out << R"HTML(<span class="voice-status voice-failed">)HTML" << QString::fromUtf8(text) << "</span>";
}

}  // namespace app
}  // namespace talwen
