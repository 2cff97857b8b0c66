// What the library's faces share: failures as Error, the version, the signal handlers' call.
#include "face.h"

namespace sarnveld {

Error CurrentError() noexcept {
  try {
    throw;
  } catch (const Error& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return Error("EOutOfMemory", "Out of memory");
  } catch (const std::exception& error) {
    return Error("EError", error.what());
  } catch (...) {
    return Error("EError", "Unknown failure");
  }
}

const char* Version() noexcept {
  return SARNVELD_VERSION;
}

void RemoveUnfinishedOutputs() noexcept {
  huff::RemoveUnfinishedOutputs();
}

std::string SystemErrorText(unsigned long code) {
  return api::Translated([&] { return huff::SystemErrorText(code); });
}

}  // namespace sarnveld

extern "C" {

const char* sarnveld_version(void) {
  return sarnveld::Version();
}

void sarnveld_free(void* memory) {
  std::free(memory);
}

}  // extern "C"
