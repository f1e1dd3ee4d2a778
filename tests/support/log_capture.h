// Captures what the logging library writes while the object lives.
#pragma once

#include <string>

class LogCapture {
 public:
  // Sends the log to a fresh file named after name in the test scratch folder.
  explicit LogCapture(const std::string& name);
  // Stops logging and removes the file.
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far, one line per message.
  std::string text() const;

 private:
  std::string path_;
};
