// WmiConnection against the real WMI of the machine it runs on.
#include "probes/wmi_connection-win32.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <stdexcept>
#include <vector>

namespace guestwise {
namespace {

// True when no COM initialisation is left on this thread: a fresh
// single-threaded initialisation then succeeds with S_OK.
bool comFullyShutDown() {
  const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(result)) CoUninitialize();
  return result == S_OK;
}

std::vector<std::string> queryProperty(WmiConnection& connection, const wchar_t* query,
                                       const wchar_t* property) {
  std::vector<std::string> values;
  const bool accepted = connection.executeQuery(
      query, [&](const WmiRow& row) { values.push_back(row.getStringProperty(property)); });
  EXPECT_TRUE(accepted) << "query refused";
  return values;
}

TEST(WmiConnection, QueryBeforeConnectIsRefusedWithoutCallingTheHandler) {
  WmiConnection connection;
  bool called = false;
  EXPECT_FALSE(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                       [&](const WmiRow&) { called = true; }));
  EXPECT_FALSE(called);
}

TEST(WmiConnection, ConnectQueryReleaseLeavesComBalanced) {
  {
    WmiConnection connection;
    ASSERT_TRUE(connection.connect());
    EXPECT_TRUE(connection.connect());  // already connected
    const auto makers = queryProperty(
        connection, L"SELECT Manufacturer, Model FROM Win32_ComputerSystem", L"Manufacturer");
    ASSERT_EQ(makers.size(), 1u);
    EXPECT_FALSE(makers[0].empty());
    connection.release();
    connection.release();  // harmless
    EXPECT_TRUE(comFullyShutDown());
    // A released connection connects again like a fresh one.
    ASSERT_TRUE(connection.connect());
    EXPECT_FALSE(comFullyShutDown());
  }
  EXPECT_TRUE(comFullyShutDown());  // the destructor released it
}

TEST(WmiConnection, QueryMatchingNothingSucceedsWithNoRows) {
  WmiConnection connection;
  ASSERT_TRUE(connection.connect());
  EXPECT_TRUE(queryProperty(connection,
                            L"SELECT Name FROM Win32_Process WHERE Name = 'no-such-image.exe'",
                            L"Name")
                  .empty());
}

TEST(WmiConnection, RefusedQueryIsFalse) {
  WmiConnection connection;
  ASSERT_TRUE(connection.connect());
  bool called = false;
  EXPECT_FALSE(connection.executeQuery(L"this is not WQL", [&](const WmiRow&) { called = true; }));
  EXPECT_FALSE(called);
}

TEST(WmiConnection, OnlyStringPropertiesReadAsText) {
  WmiConnection connection;
  ASSERT_TRUE(connection.connect());
  const auto captions =
      queryProperty(connection, L"SELECT Model, Caption FROM Win32_DiskDrive", L"Caption");
  ASSERT_FALSE(captions.empty());
  for (const auto& caption : captions) EXPECT_EQ(caption, "");  // no such property here
  const auto statuses =
      queryProperty(connection, L"SELECT Name, NetConnectionStatus FROM Win32_NetworkAdapter",
                    L"NetConnectionStatus");
  ASSERT_FALSE(statuses.empty()) << "needs a network interface besides the loopback";
  for (const auto& status : statuses) EXPECT_EQ(status, "");  // a number
  const auto models =
      queryProperty(connection, L"SELECT Model, Caption FROM Win32_DiskDrive", L"Model");
  ASSERT_FALSE(models.empty());
  EXPECT_EQ(models[0], "Wine Disk Drive");
}

TEST(WmiConnection, ThrowingHandlerStillEndsWithEverythingReleased) {
  {
    WmiConnection connection;
    ASSERT_TRUE(connection.connect());
    EXPECT_THROW(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                         [](const WmiRow&) { throw std::runtime_error("x"); }),
                 std::runtime_error);
  }
  EXPECT_TRUE(comFullyShutDown());
}

TEST(WmiConnection, ThreadAlreadyInAnotherApartmentStaysBalanced) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    WmiConnection connection;
    EXPECT_TRUE(connection.connect());
    EXPECT_FALSE(
        queryProperty(connection, L"SELECT Model FROM Win32_ComputerSystem", L"Model").empty());
  }
  // The connection took no initialisation of its own, so it gave none back:
  // the thread's own initialisation is still there for its owner to end.
  EXPECT_FALSE(comFullyShutDown());
  CoUninitialize();
  EXPECT_TRUE(comFullyShutDown());
}

// Runs in a process of its own: process-wide security can be set only once.
TEST(WmiConnectionEarlierSecurity, SecuritySetEarlierDoesNotStopConnect) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  ASSERT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
            S_OK);
  WmiConnection connection;
  EXPECT_TRUE(connection.connect());
  EXPECT_EQ(queryProperty(connection, L"SELECT Model FROM Win32_ComputerSystem", L"Model").size(),
            1u);
  connection.release();
  CoUninitialize();
}

// The system's COM calls, with a failure put in at one step of connect, a
// count of initialisations and shutdowns, and a reference of its own on each
// interface handed out, to see whether the connection gave its own back.
enum class Step { None, Initialize, CreateLocator, ConnectServer, SetProxyBlanket };

class ScriptedComRuntime : public ComRuntime {
 public:
  explicit ScriptedComRuntime(Step failAt) : failAt_(failAt) {}

  HRESULT initialize() override {
    if (failAt_ == Step::Initialize) return E_OUTOFMEMORY;
    const HRESULT result = ComRuntime::initialize();
    if (SUCCEEDED(result)) ++initializations;
    return result;
  }
  HRESULT createLocator(IWbemLocator** locator) override {
    if (failAt_ == Step::CreateLocator) return REGDB_E_CLASSNOTREG;
    const HRESULT result = ComRuntime::createLocator(locator);
    if (SUCCEEDED(result)) keep(*locator, locator_);
    return result;
  }
  HRESULT connectServer(IWbemLocator* locator, IWbemServices** services) override {
    if (failAt_ == Step::ConnectServer) return WBEM_E_ACCESS_DENIED;
    const HRESULT result = ComRuntime::connectServer(locator, services);
    if (SUCCEEDED(result)) keep(*services, services_);
    return result;
  }
  HRESULT setProxyBlanket(IWbemServices* services) override {
    if (failAt_ == Step::SetProxyBlanket) return E_ACCESSDENIED;
    return ComRuntime::setProxyBlanket(services);
  }
  void uninitialize() override {
    ++shutdowns;
    ComRuntime::uninitialize();
  }

  // Drops this runtime's own references; true when none is left elsewhere.
  bool interfacesAllGivenBack() {
    const bool servicesFree = services_ == nullptr || services_->Release() == 0;
    const bool locatorFree = locator_ == nullptr || locator_->Release() == 0;
    services_ = nullptr;
    locator_ = nullptr;
    return servicesFree && locatorFree;
  }

  int initializations = 0;
  int shutdowns = 0;

 private:
  template <typename T>
  static void keep(T* handedOut, T*& kept) {
    kept = handedOut;
    kept->AddRef();
  }

  Step failAt_;
  IWbemLocator* locator_ = nullptr;
  IWbemServices* services_ = nullptr;
};

TEST(WmiConnectionFailures, EachFailingStepLeavesNothingHeldAndComBalanced) {
  for (const Step step :
       {Step::Initialize, Step::CreateLocator, Step::ConnectServer, Step::SetProxyBlanket}) {
    SCOPED_TRACE(static_cast<int>(step));
    ScriptedComRuntime com(step);
    WmiConnection connection(com);
    EXPECT_FALSE(connection.connect());
    EXPECT_EQ(com.initializations, com.shutdowns);
    EXPECT_TRUE(comFullyShutDown());
    EXPECT_TRUE(com.interfacesAllGivenBack());
    bool called = false;
    EXPECT_FALSE(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                         [&](const WmiRow&) { called = true; }));
    EXPECT_FALSE(called);
  }
}

TEST(WmiConnectionFailures, ThrowingHandlerStillReleasesEverything) {
  ScriptedComRuntime com(Step::None);
  {
    WmiConnection connection(com);
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(com.initializations, 1);
    EXPECT_THROW(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                         [](const WmiRow&) { throw std::bad_alloc(); }),
                 std::bad_alloc);
  }
  EXPECT_EQ(com.shutdowns, 1);
  EXPECT_TRUE(comFullyShutDown());
  EXPECT_TRUE(com.interfacesAllGivenBack());
}

// Runs with WMI's provider switched off (WINEDLLOVERRIDES=wbemprox=d), so
// that creating the locator fails for real.
TEST(WmiConnectionWithoutWmi, LocatorFailureLeavesComBalanced) {
  ScriptedComRuntime com(Step::None);
  WmiConnection connection(com);
  EXPECT_FALSE(connection.connect());
  EXPECT_EQ(com.initializations, 1);
  EXPECT_EQ(com.shutdowns, 1);
  EXPECT_TRUE(comFullyShutDown());
}

TEST(ToUtf8, ConvertsUpToTheFirstZero) {
  EXPECT_EQ(toUtf8(nullptr), "");
  EXPECT_EQ(toUtf8(L""), "");
  EXPECT_EQ(toUtf8(L"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(toUtf8(L"ab\0cd"), "ab");
  EXPECT_EQ(toUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");  // a surrogate pair
}

}  // namespace
}  // namespace guestwise
