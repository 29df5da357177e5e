#pragma once

#include <QString>

#include <string>
#include <vector>

namespace talwen {
namespace app {
namespace gui {

// Why a result on the result screen is not complete: the user stopped the scan,
// and/or the database was damaged and these parts of it could not be read (the
// store's WC_PartialReason rows, as the command line prints them).
struct PartialResult {
    bool stopped = false;
    std::vector<std::string> damageReasons;

    bool partial() const { return stopped || !damageReasons.empty(); }
};

// Reasons listed in the window; the rest are counted in one more line. The
// store keeps at most the seeker's cap anyway, which is far too many to read.
constexpr int kShownDamageReasons = 5;

// Text of the database for a label: control and format characters (direction
// overrides, zero-width ones) and line separators written as \xNN or \uNNNN, so
// one reason stays one line and reads as what it is. Labels showing it are plain
// text, so markup in it stays literal too.
QString escapedForDisplay(const std::string& utf8);

// "数据库已损坏，结果不完整：" and the escaped reasons below it, one per line, at
// most kShownDamageReasons, then "… 还有 N 条". Empty when there is none.
QString damageReasonsText(const std::vector<std::string>& reasons);

}  // namespace gui
}  // namespace app
}  // namespace talwen
