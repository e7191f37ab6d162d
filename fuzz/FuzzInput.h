// Reading a fuzzer's bytes as a sequence of small fields, front to back. Fields past
// the end read as zero (or empty), so every input, however short, is a whole case.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  std::size_t Remaining() const { return size_ - pos_; }

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Flag() { return (Byte() & 1) != 0; }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::uint32_t Dword() {
    const std::uint32_t low = Word();
    return low | (static_cast<std::uint32_t>(Word()) << 16);
  }

  // Up to `count` bytes; fewer when the input ends first.
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    const std::size_t n = count < Remaining() ? count : Remaining();
    std::vector<std::uint8_t> bytes(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return bytes;
  }

  // A 16-bit length, then that many bytes.
  std::vector<std::uint8_t> Sized() { return Bytes(Word()); }
  std::string SizedText() {
    const std::vector<std::uint8_t> bytes = Sized();
    return std::string(bytes.begin(), bytes.end());
  }

  // Whatever is left.
  std::vector<std::uint8_t> Rest() { return Bytes(Remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Times one input; the longest of a run is printed when the run ends, as
// "longest input: <ms> ms" (libFuzzer's own figure counts whole seconds only).
class TimedInput {
 public:
  TimedInput() : started_(std::chrono::steady_clock::now()) {}
  ~TimedInput() {
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_).count();
    Longest().ms = ms > Longest().ms ? ms : Longest().ms;
  }
  TimedInput(const TimedInput&) = delete;
  TimedInput& operator=(const TimedInput&) = delete;

 private:
  struct Record {
    double ms = 0;
    ~Record() { std::fprintf(stderr, "longest input: %.3f ms\n", ms); }
  };
  static Record& Longest() {
    static Record record;
    return record;
  }
  std::chrono::steady_clock::time_point started_;
};

// A broken property of the code under test: libFuzzer records the input as a crash.
[[noreturn]] inline void Violated(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "property violated: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

inline void Require(bool holds, const char* what, const std::string& detail = {}) {
  if (!holds) Violated(what, detail);
}

}  // namespace fuzz
