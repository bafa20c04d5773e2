// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace velmorix::testing {

using Bytes = std::vector<unsigned char>;

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    do {
      path_ = base / ("velmorix-test-" + std::to_string(seed()));
    } while (!std::filesystem::create_directory(path_));
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ScratchDirectory(ScratchDirectory&&) = delete;
  ScratchDirectory& operator=(ScratchDirectory&&) = delete;
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // The name as the program takes it: UTF-8 text.
  [[nodiscard]] std::string name(const std::string& leaf) const {
    const auto text = (path_ / leaf).u8string();
    return {text.begin(), text.end()};
  }

  // The names of the files now in the directory, sorted.
  [[nodiscard]] std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes that differ from one offset to the next, so that any misplaced
// range shows.
inline Bytes patternedBytes(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  std::uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1664525U + 1013904223U;
    byte = static_cast<unsigned char>(state >> 24U);
  }
  return bytes;
}

// The target image, assembled from slices of the source as the layout
// describes it, independently of the converter's own code.
inline Bytes expectedTarget(const Bytes& source) {
  const auto slice = [&](std::size_t from, std::size_t to) {
    return Bytes(source.begin() + static_cast<std::ptrdiff_t>(from),
                 source.begin() + static_cast<std::ptrdiff_t>(to));
  };
  Bytes target;
  const auto append = [&](const Bytes& part) {
    target.insert(target.end(), part.begin(), part.end());
  };
  append(slice(0x00000, 0x08000));
  append(Bytes(0x10000, 0));
  append(slice(0x08000, 0x90000));
  append(slice(0xA0000, 0xC0000));
  append(slice(0x90000, 0xA0000));
  return target;
}

}  // namespace velmorix::testing
