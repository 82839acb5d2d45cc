#include "AEGP_SuiteHandler.h"

AEGP_SuiteHandler::AEGP_SuiteHandler(const SPBasicSuite* pica_basicP) : pica_basicP_(pica_basicP) {
  if (!pica_basicP_) MissingSuiteError();
}

AEGP_SuiteHandler::~AEGP_SuiteHandler() {
  // Only what this holder acquired goes back.
  if (handleSuite_) pica_basicP_->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2);
  if (ansiSuite_) pica_basicP_->ReleaseSuite(kPFANSISuite, kPFANSISuiteVersion1);
}

void AEGP_SuiteHandler::MissingSuiteError() { throw static_cast<int>(PF_Err_BAD_CALLBACK_PARAM); }

const void* AEGP_SuiteHandler::LoadSuite(const char* name, int32_t version,
                                         const void** slot) const {
  if (!*slot) {
    const void* suite = nullptr;
    // A failed acquisition may still have written the pointer; it is not held.
    if (pica_basicP_->AcquireSuite(name, version, &suite) != kSPNoError || !suite) {
      MissingSuiteError();
    }
    *slot = suite;
  }
  return *slot;
}

PF_HandleSuite2* AEGP_SuiteHandler::HandleSuite2() const {
  return static_cast<PF_HandleSuite2*>(
      const_cast<void*>(LoadSuite(kPFHandleSuite, kPFHandleSuiteVersion2, &handleSuite_)));
}

PF_ANSICallbacksSuite1* AEGP_SuiteHandler::ANSICallbacksSuite1() const {
  return static_cast<PF_ANSICallbacksSuite1*>(
      const_cast<void*>(LoadSuite(kPFANSISuite, kPFANSISuiteVersion1, &ansiSuite_)));
}
