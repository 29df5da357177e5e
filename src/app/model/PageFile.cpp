#include "app/model/PageFile.h"

namespace talwen {
namespace app {

const char* const kPageErrorTitle = "提示";
const char* const kPageErrorText = "无法创建文件";

}  // namespace app
}  // namespace talwen
