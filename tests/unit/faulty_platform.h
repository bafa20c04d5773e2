// A platform that forwards every call to the real one, records it, and can
// be told to make one chosen call fail, the way the system would fail it.
// Standard output is captured instead of printed.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

namespace velmorix::testing {

class FaultyPlatform final : public Platform {
 public:
  // Makes call number `call` (counted from 1 over every call below but
  // sleep, lastError and writeStandardOutput) fail. 0: none fails.
  void failCall(std::size_t call) { failingCall_ = call; }
  // Makes every call of the named kind fail too.
  void failEvery(std::string kind) { failingKind_ = std::move(kind); }
  // Makes every replace() answer Busy, the first `count` times.
  void answerBusy(int count) { busyAnswers_ = count; }
  // Runs `action` in place of each pause.
  void onSleep(std::function<void()> action) { onSleep_ = std::move(action); }

  [[nodiscard]] const std::vector<std::string>& calls() const { return calls_; }
  [[nodiscard]] const std::string& output() const { return output_; }
  [[nodiscard]] const std::vector<unsigned>& sleeps() const { return sleeps_; }

  FileHandle openSource(const std::string& name) override {
    return fail("openSource") ? FileHandle{} : real_.openSource(name);
  }
  std::int64_t seek(FileHandle file, std::int64_t offset,
                    SeekOrigin origin) override {
    return fail("seek") ? -1 : real_.seek(file, offset, origin);
  }
  std::int64_t read(FileHandle file, void* buffer, std::size_t size) override {
    return fail("read") ? -1 : real_.read(file, buffer, size);
  }
  bool write(FileHandle file, const void* buffer, std::size_t size) override {
    return !fail("write") && real_.write(file, buffer, size);
  }
  bool flush(FileHandle file) override {
    return !fail("flush") && real_.flush(file);
  }
  bool close(FileHandle file) override {
    // The handle is released even when closing reports an error.
    const bool closed = real_.close(file);
    return !fail("close") && closed;
  }
  PathKind pathKind(const std::string& name) override {
    return fail("pathKind") ? PathKind::Unknown : real_.pathKind(name);
  }
  FileHandle createTemporaryBeside(const std::string& target,
                                   std::string& name) override {
    return fail("createTemporaryBeside")
               ? FileHandle{}
               : real_.createTemporaryBeside(target, name);
  }
  FileHandle openSpecialForWriting(const std::string& name) override {
    return fail("openSpecialForWriting") ? FileHandle{}
                                         : real_.openSpecialForWriting(name);
  }
  ReplaceResult replace(const std::string& from,
                        const std::string& to) override {
    if (fail("replace")) {
      return ReplaceResult::Failed;
    }
    if (busyAnswers_ > 0) {
      --busyAnswers_;
      injected_ = true;
      return ReplaceResult::Busy;
    }
    return real_.replace(from, to);
  }
  bool syncDirectoryOf(const std::string& target) override {
    return !fail("syncDirectoryOf") && real_.syncDirectoryOf(target);
  }
  bool remove(const std::string& name) override {
    return !fail("remove") && real_.remove(name);
  }
  void sleep(unsigned milliseconds) override {
    sleeps_.push_back(milliseconds);
    if (onSleep_) {
      onSleep_();
    }
  }
  bool writeStandardOutput(std::string_view text) override {
    output_ += text;
    return true;
  }
  std::string lastError() override {
    return injected_ ? "injected fault" : real_.lastError();
  }

 private:
  // Records the call; true when it is the one to fail.
  bool fail(const char* call) {
    calls_.emplace_back(call);
    injected_ = calls_.size() == failingCall_ || call == failingKind_;
    return injected_;
  }

  Platform& real_ = systemPlatform();
  std::size_t failingCall_ = 0;
  std::string failingKind_;
  int busyAnswers_ = 0;
  bool injected_ = false;
  std::vector<std::string> calls_;
  std::vector<unsigned> sleeps_;
  std::function<void()> onSleep_;
  std::string output_;
};

}  // namespace velmorix::testing
