#include "mxmux/run/abandon.h"

#include "mxmux/run/messages.h"

namespace mxmux {

int abandon(OutputFile& output, const std::string& target, const std::string& text) {
  std::string kept = output.into_device()      ? ""
                     : output.target_existed() ? "; the previous " + target + " is kept"
                                               : "; " + target + " was not written";
  output.discard();
  return fail(text + kept);
}

std::string write_failure_text(const OutputFile& output, const std::string& target) {
  std::string reason = output.write_failure();
  return reason.empty() ? reason : target + ": cannot write: " + reason;
}

}  // namespace mxmux
