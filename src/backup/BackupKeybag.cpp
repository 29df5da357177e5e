#include "backup/BackupKeybag.h"

#include "backup/InputLimits.h"

#include <cstring>

namespace talwen::backup {

namespace {

std::uint32_t bigEndian32(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

bool tagIs(const std::uint8_t* tag, const char* name)
{
    return std::memcmp(tag, name, 4) == 0;
}

bool readNumber(const std::uint8_t* value, std::uint32_t length, std::uint32_t* out)
{
    if (length != 4)
        return false;
    *out = bigEndian32(value);
    return true;
}

} // namespace

BackupKeybag::~BackupKeybag()
{
    for (auto& entry : classKeys_)
        BackupCrypto::wipe(&entry.second);
}

std::optional<BackupKeybag> BackupKeybag::parse(const Bytes& data, std::string* why)
{
    auto refuse = [why](const std::string& reason) -> std::optional<BackupKeybag> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    BackupKeybag bag;
    bool headerUuidSeen = false;
    bool inClass = false;
    ClassKey current;
    bool haveClass = false, haveWrap = false;
    std::size_t classCount = 0;
    bool haveIter = false, haveSalt = false;

    // A class key ends where the next one starts or where the keybag ends.
    auto closeClass = [&]() -> bool {
        if (!inClass)
            return true;
        if (!haveClass || !haveWrap || current.wrappedKey.size() != BackupCrypto::kWrappedKeySize)
            return false;
        bag.classes_[current.protectionClass] = current;
        current = ClassKey();
        haveClass = haveWrap = false;
        return true;
    };

    std::size_t p = 0;
    while (p < data.size()) {
        if (data.size() - p < 8)
            return refuse("a record is cut off");
        const std::uint8_t* tag = data.data() + p;
        const std::uint32_t length = bigEndian32(data.data() + p + 4);
        p += 8;
        if (length > data.size() - p)
            return refuse("a record is longer than the keybag");
        const std::uint8_t* value = data.data() + p;
        p += length;

        if (tagIs(tag, "UUID")) {
            if (!headerUuidSeen) {
                headerUuidSeen = true;
                continue;
            }
            if (!closeClass())
                return refuse("a class key lacks CLAS, WRAP or a 40-byte WPKY");
            if (++classCount > InputLimits::kMaxKeybagClasses)
                return refuse("more class keys than a keybag holds");
            inClass = true;
            continue;
        }
        if (inClass) {
            bool ok = true;
            if (tagIs(tag, "CLAS"))
                ok = haveClass = readNumber(value, length, &current.protectionClass);
            else if (tagIs(tag, "WRAP"))
                ok = haveWrap = readNumber(value, length, &current.wrap);
            else if (tagIs(tag, "KTYP"))
                ok = readNumber(value, length, &current.keyType);
            else if (tagIs(tag, "WPKY"))
                current.wrappedKey.assign(value, value + length);
            if (!ok)
                return refuse("a number of a class key is not 4 bytes long");
            continue;
        }
        bool ok = true;
        if (tagIs(tag, "ITER"))
            ok = haveIter = readNumber(value, length, &bag.iter_);
        else if (tagIs(tag, "DPIC"))
            ok = readNumber(value, length, &bag.dpic_);
        else if (tagIs(tag, "SALT"))
            haveSalt = !(bag.salt_.assign(value, value + length), bag.salt_.empty());
        else if (tagIs(tag, "DPSL"))
            bag.dpsl_.assign(value, value + length);
        if (!ok)
            return refuse("a number of the header is not 4 bytes long");
    }
    if (!closeClass())
        return refuse("a class key lacks CLAS, WRAP or a 40-byte WPKY");
    if (!haveIter || !haveSalt)
        return refuse("SALT or ITER is missing");
    if (bag.iter_ == 0 || bag.iter_ > InputLimits::kMaxKeyDerivationIterations)
        return refuse("ITER is 0 or beyond limit[" + std::to_string(InputLimits::kMaxKeyDerivationIterations) + "]");
    if (bag.hasDataProtectionSalt() &&
        (bag.dpic_ == 0 || bag.dpic_ > InputLimits::kMaxKeyDerivationIterations))
        return refuse("DPIC is 0 or beyond limit[" + std::to_string(InputLimits::kMaxKeyDerivationIterations) + "]");
    bool passwordWrapped = false;
    for (const auto& entry : bag.classes_)
        passwordWrapped = passwordWrapped || (entry.second.wrap & kWrapPasscode) != 0;
    if (!passwordWrapped)
        return refuse("no class key is wrapped with the password");
    return bag;
}

std::uint64_t BackupKeybag::derivationWork() const
{
    // The SHA-1 step makes a 32-byte key of two 20-byte blocks.
    const std::uint64_t sha1 = 2 * std::uint64_t(iter_);
    return hasDataProtectionSalt() ? std::uint64_t(dpic_) + sha1 : sha1;
}

bool BackupKeybag::deriveKey(const std::string& password, Bytes* key, const BackupCrypto::Step& step) const
{
    if (!hasDataProtectionSalt())
        return BackupCrypto::pbkdf2(BackupCrypto::Digest::Sha1, password, salt_, iter_, BackupCrypto::kKeySize, key,
                                    step);
    Bytes first;
    if (!BackupCrypto::pbkdf2(BackupCrypto::Digest::Sha256, password, dpsl_, dpic_, BackupCrypto::kKeySize, &first,
                              step))
        return false;
    const std::uint64_t firstWork = dpic_;
    BackupCrypto::Step second;
    if (step)
        second = [&step, firstWork](std::uint64_t done) { return step(firstWork + done); };
    // The first key is the password of the second step.
    std::string intermediate(first.begin(), first.end());
    BackupCrypto::wipe(&first);
    const bool ok = BackupCrypto::pbkdf2(BackupCrypto::Digest::Sha1, intermediate, salt_, iter_,
                                         BackupCrypto::kKeySize, key, second);
    BackupCrypto::wipe(&intermediate);
    return ok;
}

bool BackupKeybag::unlock(const Bytes& derivedKey)
{
    std::map<std::uint32_t, Bytes> unwrapped;
    for (const auto& [protectionClass, classKey] : classes_) {
        if ((classKey.wrap & kWrapPasscode) == 0)
            continue; // wrapped with the device's own key only: not in a backup's reach
        Bytes key;
        if (!BackupCrypto::unwrapKey(derivedKey, classKey.wrappedKey, &key)) {
            for (auto& entry : unwrapped)
                BackupCrypto::wipe(&entry.second);
            return false;
        }
        unwrapped[protectionClass] = std::move(key);
    }
    classKeys_ = std::move(unwrapped);
    return true;
}

bool BackupKeybag::unwrap(std::uint32_t protectionClass, const Bytes& wrapped, Bytes* key) const
{
    const auto found = classKeys_.find(protectionClass);
    return found != classKeys_.end() && BackupCrypto::unwrapKey(found->second, wrapped, key);
}

} // namespace talwen::backup
