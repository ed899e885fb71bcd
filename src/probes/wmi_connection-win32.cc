#include "probes/wmi_connection-win32.h"

#include <objbase.h>

namespace guestwise {

namespace {

// Lends a COM row to the portable handlers for the length of one call.
class ComRow : public WmiRow {
 public:
  explicit ComRow(IWbemClassObject* row) : row_(row) {}
  std::string getStringProperty(const wchar_t* name) const override {
    return guestwise::getStringProperty(row_, name);
  }

 private:
  IWbemClassObject* row_;
};

}  // namespace

HRESULT ComRuntime::initialize() {
  return CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

void ComRuntime::initializeSecurity() {
  // RPC_E_TOO_LATE (security already set for the process) is no obstacle, so
  // the result is not looked at.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
}

HRESULT ComRuntime::createLocator(IWbemLocator** locator) {
  return CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void**>(locator));
}

HRESULT ComRuntime::connectServer(IWbemLocator* locator, IWbemServices** services) {
  Bstr resource(L"ROOT\\CIMV2");
  return locator->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                services);
}

HRESULT ComRuntime::setProxyBlanket(IWbemServices* services) {
  return CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}

void ComRuntime::uninitialize() {
  CoUninitialize();
}

ComRuntime& systemComRuntime() {
  static ComRuntime runtime;
  return runtime;
}

bool WmiConnection::connect() {
  if (connected_) return true;
  const HRESULT init = com_.initialize();
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) return false;
  comInitialized_ = SUCCEEDED(init);
  com_.initializeSecurity();
  if (FAILED(com_.createLocator(locator_.put())) ||
      FAILED(com_.connectServer(locator_.get(), services_.put())) ||
      FAILED(com_.setProxyBlanket(services_.get()))) {
    release();
    return false;
  }
  connected_ = true;
  return true;
}

bool WmiConnection::executeQuery(const wchar_t* query, const WmiRowHandler& handler) {
  if (!connected_ || !services_) return false;
  ComPtr<IEnumWbemClassObject> rows;
  HRESULT result;
  {
    Bstr language(L"WQL");
    Bstr text(query);
    result = services_->ExecQuery(language.get(), text.get(),
                                  WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                  rows.put());
  }
  if (FAILED(result)) return false;
  for (;;) {
    // Only the count tells the end: a failing Next ends the rows as well.
    ComPtr<IWbemClassObject> row;
    ULONG returned = 0;
    rows->Next(static_cast<long>(WBEM_INFINITE), 1, row.put(), &returned);
    if (returned == 0) break;
    handler(ComRow(row.get()));
  }
  return true;
}

// Services before locator, both before COM goes down. Also undoes a connect
// that failed half-way: only what was taken is held.
void WmiConnection::release() {
  services_.reset();
  locator_.reset();
  if (comInitialized_) com_.uninitialize();
  comInitialized_ = false;
  connected_ = false;
}

std::string getStringProperty(IWbemClassObject* row, const wchar_t* name) {
  Variant value;
  if (FAILED(row->Get(name, 0, value.get(), nullptr, nullptr))) return {};
  if ((*value).vt != VT_BSTR || (*value).bstrVal == nullptr) return {};
  return toUtf8((*value).bstrVal);
}

std::string toUtf8(const wchar_t* text) {
  if (text == nullptr || text[0] == L'\0') return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string utf8(static_cast<std::size_t>(size - 1), '\0');
  // The terminating zero lands in the string's own terminator slot.
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  return utf8;
}

}  // namespace guestwise
