#include "fake_platform.hpp"

#include <utility>

namespace ticklow::testing {

FakePlatform& Fake() {
  static FakePlatform fake;
  return fake;
}

void ResetFake(std::string commandLine, BOOL writeResult) {
  Fake() = FakePlatform{};
  Fake().commandLine = std::move(commandLine);
  Fake().writeResult = writeResult;
}

}  // namespace ticklow::testing

using ticklow::testing::Fake;

extern "C" {

ticklow::HANDLE GetStdHandle(ticklow::DWORD which) {
  Fake().calls.emplace_back("GetStdHandle");
  Fake().stdHandleRequests.push_back(which);
  return which == ticklow::STD_OUTPUT_HANDLE ? ticklow::testing::FAKE_STDOUT : nullptr;
}

char* GetCommandLineA() {
  Fake().calls.emplace_back("GetCommandLineA");
  return Fake().commandLine.data();
}

ticklow::BOOL WriteFile(ticklow::HANDLE file, void const* bytes, ticklow::DWORD length,
                        ticklow::DWORD* written, void* overlapped) {
  Fake().calls.emplace_back("WriteFile");
  Fake().writeHandles.push_back(file);
  Fake().writes.emplace_back(static_cast<char const*>(bytes), length);
  Fake().writtenCountGiven = written != nullptr;
  Fake().overlappedGiven = overlapped != nullptr;
  if (written != nullptr) {
    *written = Fake().writeResult != 0 ? length : 0;
  }
  return Fake().writeResult;
}
}
