// Per-command holder of the host suites the effect uses. Each suite is
// acquired through the host's basic suite on first use and released when the
// holder is destroyed; a missing basic suite or suite throws the int
// PF_Err_BAD_CALLBACK_PARAM (516).
#ifndef TESSIVO_EFFECT_AEGP_SUITE_HANDLER_H
#define TESSIVO_EFFECT_AEGP_SUITE_HANDLER_H

#include "AE_EffectSuites.h"
#include "SPBasic.h"

class AEGP_SuiteHandler {
 public:
  explicit AEGP_SuiteHandler(const SPBasicSuite* pica_basicP);
  ~AEGP_SuiteHandler();
  AEGP_SuiteHandler(const AEGP_SuiteHandler&) = delete;
  AEGP_SuiteHandler& operator=(const AEGP_SuiteHandler&) = delete;

  PF_HandleSuite2* HandleSuite2() const;          // "PF Handle Suite" 2
  PF_ANSICallbacksSuite1* ANSICallbacksSuite1() const;  // "PF ANSI Suite" 1
  const SPBasicSuite* Pica() const { return pica_basicP_; }

 private:
  [[noreturn]] static void MissingSuiteError();
  const void* LoadSuite(const char* name, int32_t version, const void** slot) const;

  const SPBasicSuite* pica_basicP_;
  mutable const void* handleSuite_ = nullptr;
  mutable const void* ansiSuite_ = nullptr;
};

#endif  // TESSIVO_EFFECT_AEGP_SUITE_HANDLER_H
