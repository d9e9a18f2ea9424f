#ifndef TESTS_SCRATCH_DIR_H
#define TESTS_SCRATCH_DIR_H

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

// A fresh directory under /tmp, made the current directory for the
// test's life and removed afterwards.
struct scratch_dir {
  std::filesystem::path path;
  std::filesystem::path old;

  scratch_dir() {
    char tmpl[] = "/tmp/zelmd-test-XXXXXX";
    const char *p = mkdtemp(tmpl);
    EXPECT_NE(p, nullptr);
    path = p;
    old = std::filesystem::current_path();
    std::filesystem::current_path(path);
  }
  ~scratch_dir() {
    std::filesystem::current_path(old);
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::all, ec);
    std::filesystem::remove_all(path, ec);
  }

  void write(const std::string &name, const std::string &content) const {
    std::filesystem::create_directories((path / name).parent_path());
    std::ofstream(path / name, std::ios::binary) << content;
  }
};

#endif
