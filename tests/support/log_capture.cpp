#include "support/log_capture.h"

#include <cstdio>
#include <stdexcept>

#include "support/test_files.h"
#include "xqlog/xq_log.h"

LogCapture::LogCapture(const std::string& name) : path_(test_temp_path(name)) {
  std::remove(path_.c_str());
  if (XQ_SetLogSink(XQ_LOG_FILE, path_.c_str()) != 0) {
    throw std::runtime_error("cannot log to " + path_);
  }
}

LogCapture::~LogCapture() {
  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  std::remove(path_.c_str());
}

std::string LogCapture::text() const {
  FILE* file = std::fopen(path_.c_str(), "rb");
  if (file == nullptr) return {};
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, n);
  std::fclose(file);
  return out;
}
