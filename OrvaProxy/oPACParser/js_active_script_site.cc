#include "OrvaProxy/oPACParser/js_active_script_site.h"

#include <dispex.h>
#include <oleauto.h>

#include <atomic>
#include <cwchar>

#include "OrvaProxy/oPACParser/js_limits.h"
#include "OrvaProxy/oPACParser/js_wide_text.h"
#include "OrvaProxy/ov_log.h"

namespace OVProxy {
namespace {

// The interface ids, spelled out: not every SDK's uuid library has them all.
constexpr IID kIidActiveScriptSite = {
    0xdb01a1e3, 0xa42b, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
constexpr IID kIidActiveScriptSiteInterruptPoll = {
    0x539698a0, 0xcdca, 0x11cf, {0xa5, 0xeb, 0x00, 0xaa, 0x00, 0x47, 0xa0, 0x63}};
constexpr IID kIidDispatchEx = {
    0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

constexpr DISPID kAlertId = 1;

// COM interfaces have no virtual destructor by design: an object is never
// deleted through one (and these two are never deleted at all).
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct Record {
  int errors = 0;
  js_script_error_t first;
  int alerts_left = kJsMaxAlertsPerEvaluation;
};
Record g_record;
std::atomic<bool> g_stop{false};

// A UTF-8 prefix of a BSTR long enough to be cut to `max` bytes: `max` + 1
// UTF-16 units always make more than `max` bytes.
std::string Utf8Prefix(const wchar_t* text, std::size_t max) {
  if (text == nullptr) return {};
  const std::size_t size = SysStringLen(const_cast<BSTR>(text));
  return js_utf8_text(text, size < max + 1 ? size : max + 1);
}

// An alert's message as JavaScript would write it for the common values;
// anything else as the system's variant conversion makes it.
std::string AlertText(const DISPPARAMS* params) {
  if (params == nullptr || params->cArgs == 0) return "undefined";
  // Arguments run backwards: the first is the last element.
  VARIANT& arg = params->rgvarg[params->cArgs - 1];
  switch (arg.vt) {
    case VT_EMPTY:
      return "undefined";
    case VT_NULL:
      return "null";
    case VT_BOOL:
      return arg.boolVal != VARIANT_FALSE ? "true" : "false";
    case VT_BSTR:
      return Utf8Prefix(arg.bstrVal, kJsMaxAlertBytes);
    default:
      break;
  }
  VARIANT text;
  VariantInit(&text);
  std::string out;
  if (VariantChangeTypeEx(&text, &arg, LOCALE_INVARIANT, 0, VT_BSTR) == S_OK) {
    out = Utf8Prefix(text.bstrVal, kJsMaxAlertBytes);
  } else {
    out = "(not convertible to text)";
  }
  VariantClear(&text);
  return out;
}

void Alert(const DISPPARAMS* params) {
  if (g_record.alerts_left <= 0) return;
  --g_record.alerts_left;
  try {
    ovLog(LogLevel::kInfo, "PACENG_ALRT",
          "js_engine: alert - message=" + js_cut_utf8(AlertText(params), kJsMaxAlertBytes));
  } catch (...) {
    // Logging is best effort; the script goes on.
  }
}

class GlobalFuncs final : public IDispatchEx {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, kIidDispatchEx)) {
      *object = static_cast<IDispatchEx*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = IsAlert(names[i]) ? kAlertId : DISPID_UNKNOWN;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    return InvokeEx(id, locale, flags, params, result, exception, nullptr);
  }

  // An unknown name answers DISP_E_UNKNOWNNAME rather than E_NOTIMPL: the
  // engine then treats the name as absent (`this.name` is undefined)
  // instead of failing the lookup.
  HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD, DISPID* id) override {
    if (id == nullptr) return E_POINTER;
    if (IsAlert(name)) {
      *id = kAlertId;
      return S_OK;
    }
    *id = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, IServiceProvider*) override {
    // alert's value is this object, whose own call is alert again: so
    // `typeof alert` and `var log = alert; log(...)` work as well.
    // A call asks for DISPATCH_METHOD, often with DISPATCH_PROPERTYGET too.
    if (id == kAlertId && (flags & DISPATCH_METHOD) == 0 && (flags & DISPATCH_PROPERTYGET) != 0 &&
        result != nullptr) {
      VariantInit(result);
      result->vt = VT_DISPATCH;
      result->pdispVal = static_cast<IDispatchEx*>(this);
      AddRef();
      return S_OK;
    }
    if (id != kAlertId && id != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
    if ((flags & DISPATCH_METHOD) == 0) return E_NOTIMPL;
    Alert(params);
    if (result != nullptr) VariantInit(result);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }

 private:
  static bool IsAlert(const wchar_t* name) {
    return name != nullptr && std::wcscmp(name, L"alert") == 0;
  }
};

GlobalFuncs g_global_funcs;

// The site also answers the engine's polls for whether to go on, so that an
// engine that polls stops at the time bound even if it ignores
// InterruptScriptThread.
class ScriptSite final : public IActiveScriptSite, public IActiveScriptSiteInterruptPoll {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIidActiveScriptSite)) {
      *object = static_cast<IActiveScriptSite*>(this);
    } else if (IsEqualIID(riid, kIidActiveScriptSiteInterruptPoll)) {
      *object = static_cast<IActiveScriptSiteInterruptPoll*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                        ITypeInfo** type_info) override {
    if (type_info != nullptr) *type_info = nullptr;
    if (name == nullptr || std::wcscmp(name, kJsHostItemName) != 0 || mask != SCRIPTINFO_IUNKNOWN ||
        item == nullptr) {
      if (item != nullptr) *item = nullptr;
      return E_NOTIMPL;
    }
    *item = static_cast<IDispatchEx*>(&g_global_funcs);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
    if (error == nullptr) return E_NOTIMPL;
    // Some engines report an error in a step that still answers S_OK, so
    // the count, not the step's result alone, tells a failed step.
    ++g_record.errors;
    if (g_record.errors > 1) return E_NOTIMPL;
    js_script_error_t& first = g_record.first;
    EXCEPINFO info{};
    if (error->GetExceptionInfo(&info) == S_OK) {
      if (info.pfnDeferredFillIn != nullptr) info.pfnDeferredFillIn(&info);
      first.code = info.scode != 0 ? info.scode : static_cast<HRESULT>(info.wCode);
      try {
        first.description = Utf8Prefix(info.bstrDescription, kJsMaxErrorMessageBytes);
      } catch (...) {
        first.description.clear();
      }
      SysFreeString(info.bstrSource);
      SysFreeString(info.bstrDescription);
      SysFreeString(info.bstrHelpFile);
    }
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    if (error->GetSourcePosition(&context, &line, &column) == S_OK) {
      first.has_line = true;
      first.line = line;
    }
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnEnterScript() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE QueryContinue() override {
    return g_stop.load(std::memory_order_acquire) ? S_FALSE : S_OK;
  }
};

ScriptSite g_script_site;

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace

IActiveScriptSite* js_script_site() {
  return static_cast<IActiveScriptSite*>(&g_script_site);
}

void js_site_begin() {
  g_record.errors = 0;
  g_record.first = js_script_error_t{};
  g_record.alerts_left = kJsMaxAlertsPerEvaluation;
  g_stop.store(false, std::memory_order_release);
}

int js_site_error_count() {
  return g_record.errors;
}

const js_script_error_t& js_site_first_error() {
  return g_record.first;
}

void js_site_request_stop() {
  g_stop.store(true, std::memory_order_release);
}

}  // namespace OVProxy
