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

bool WmiConnection::connect() {
  if (connected_) return true;
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) return false;
  comInitialized_ = SUCCEEDED(init);
  // RPC_E_TOO_LATE (security already set for the process) is no obstacle.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(locator_.put())))) {
    undoConnect();
    return false;
  }
  HRESULT connectResult;
  {
    Bstr resource(L"ROOT\\CIMV2");
    connectResult = locator_->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                            nullptr, services_.put());
  }
  if (FAILED(connectResult) ||
      FAILED(CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE))) {
    undoConnect();
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

void WmiConnection::release() {
  services_.reset();
  locator_.reset();
  if (connected_) {
    connected_ = false;
    if (comInitialized_) CoUninitialize();
    comInitialized_ = false;
  }
}

void WmiConnection::undoConnect() {
  services_.reset();
  locator_.reset();
  if (comInitialized_) CoUninitialize();
  comInitialized_ = false;
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
