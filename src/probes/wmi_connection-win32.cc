#include "probes/wmi_connection-win32.h"

#include <objbase.h>

#include "platform/utf8-win32.h"

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

// A success that hands back no interface is no success: a hostile or broken
// component can answer so.
template <typename T>
bool handedOver(HRESULT result, const ComPtr<T>& out) {
  return SUCCEEDED(result) && out;
}

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

HRESULT ComRuntime::execQuery(IWbemServices* services, const wchar_t* query,
                              IEnumWbemClassObject** rows) {
  Bstr language(L"WQL");
  Bstr text(query);
  return services->ExecQuery(language.get(), text.get(),
                             WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, rows);
}

HRESULT ComRuntime::next(IEnumWbemClassObject* rows, IWbemClassObject** row, ULONG* returned) {
  return rows->Next(static_cast<long>(WBEM_INFINITE), 1, row, returned);
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
  const HRESULT init = apartment_.enter();
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) return false;
  com_.initializeSecurity();
  if (!handedOver(com_.createLocator(locator_.put()), locator_) ||
      !handedOver(com_.connectServer(locator_.get(), services_.put()), services_) ||
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
  if (!handedOver(com_.execQuery(services_.get(), query, rows.put()), rows)) return false;
  for (;;) {
    // Only a row handed over continues: a failing Next, a count of 0 and a
    // null row all end the rows, and those delivered before stay delivered.
    // Each row is given back before the next is fetched.
    ComPtr<IWbemClassObject> row;
    ULONG returned = 0;
    com_.next(rows.get(), row.put(), &returned);
    if (returned == 0 || !row) break;
    handler(ComRow(row.get()));
  }
  return true;
}

// Services before locator, both before COM goes down. Also undoes a connect
// that failed half-way: only what was taken is held.
void WmiConnection::release() {
  services_.reset();
  locator_.reset();
  apartment_.leave();
  connected_ = false;
}

std::string getStringProperty(IWbemClassObject* row, const wchar_t* name) {
  Variant value;
  if (FAILED(row->Get(name, 0, value.get(), nullptr, nullptr))) return {};
  if ((*value).vt != VT_BSTR || (*value).bstrVal == nullptr) return {};
  return toUtf8((*value).bstrVal);
}

}  // namespace guestwise
