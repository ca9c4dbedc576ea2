#include "testing/fake_platform.h"

#include <utility>

namespace ostrivel::testing {

CapturedOutput::CapturedOutput() {
  platform::Operations ops = platform::Current();
  ops.showWarning = [this](const std::string& caption,
                           const std::string& text) {
    warnings_.push_back({caption, text});
  };
  ops.writeError = [this](std::string_view text) { errors_ += text; };
  saved_ = platform::Install(std::move(ops));
}

CapturedOutput::~CapturedOutput() { platform::Install(std::move(saved_)); }

}  // namespace ostrivel::testing
