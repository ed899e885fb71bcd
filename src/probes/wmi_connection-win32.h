#pragma once

#include "platform/windows-win32.h"
#include <wbemcli.h>

#include <string>

#include "probes/com_ptr-win32.h"
#include "probes/host.h"

namespace guestwise {

// The COM calls with which a connection comes up, runs its query and goes
// down. The product uses the system's; tests put failures, odd answers and
// counters in between.
class ComRuntime {
 public:
  virtual ~ComRuntime() = default;
  virtual HRESULT initialize();  // this thread, multithreaded apartment
  virtual void initializeSecurity();
  virtual HRESULT createLocator(IWbemLocator** locator);
  virtual HRESULT connectServer(IWbemLocator* locator, IWbemServices** services);
  virtual HRESULT setProxyBlanket(IWbemServices* services);
  // A forward-only WQL query that returns at once.
  virtual HRESULT execQuery(IWbemServices* services, const wchar_t* query,
                            IEnumWbemClassObject** rows);
  // The next row, waiting as long as it takes.
  virtual HRESULT next(IEnumWbemClassObject* rows, IWbemClassObject** row, ULONG* returned);
  virtual void uninitialize();
};

ComRuntime& systemComRuntime();

// The one way into WMI: brings COM up on the calling thread, connects to the
// local ROOT\CIMV2 namespace and hands each result row of one query to a
// handler. release() gives everything back; so does the destructor.
class WmiConnection : public WmiSession {
 public:
  explicit WmiConnection(ComRuntime& com = systemComRuntime()) : com_(com), apartment_(com) {}
  ~WmiConnection() override { release(); }
  WmiConnection(const WmiConnection&) = delete;
  WmiConnection& operator=(const WmiConnection&) = delete;

  bool connect() override;
  bool executeQuery(const wchar_t* query, const WmiRowHandler& handler) override;
  void release() override;

 private:
  ComRuntime& com_;
  // Before the interfaces, so that even without release() COM goes down
  // after them.
  ComApartment<ComRuntime> apartment_;
  ComPtr<IWbemLocator> locator_;
  ComPtr<IWbemServices> services_;
  bool connected_ = false;
};

// A row's named property as UTF-8; empty unless its value is a string.
std::string getStringProperty(IWbemClassObject* row, const wchar_t* name);

}  // namespace guestwise
