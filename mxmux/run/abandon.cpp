#include "mxmux/run/abandon.h"

#include "mxmux/run/messages.h"
#include "mxmux/system.h"

namespace mxmux {

int abandon(OutputFile& output, const std::string& target, const std::string& text) {
  if (output.in_place()) {
    output.discard();
    return fail(text + (sys::file_size(output_target(target)) > 0
                            ? "; " + target + " keeps what was written until then"
                            : "; " + target + " was not written"));
  }
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
