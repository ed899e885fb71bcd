// WmiConnection against the real WMI of the machine it runs on.
#include "probes/wmi_connection-win32.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "detect/detector.h"
#include "platform/utf8-win32.h"

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

// What Windows and every Wine give alike: a disk drive's model is a string,
// an adapter's connection status a number, and no class has the last name.
TEST(WmiConnection, OnlyStringPropertiesReadAsText) {
  WmiConnection connection;
  ASSERT_TRUE(connection.connect());
  const auto models = queryProperty(connection, L"SELECT Model FROM Win32_DiskDrive", L"Model");
  ASSERT_FALSE(models.empty());
  for (const auto& model : models) EXPECT_NE(model, "");
  const auto statuses =
      queryProperty(connection, L"SELECT Name, NetConnectionStatus FROM Win32_NetworkAdapter",
                    L"NetConnectionStatus");
  ASSERT_FALSE(statuses.empty()) << "needs a network interface besides the loopback";
  for (const auto& status : statuses) EXPECT_EQ(status, "");
  const auto missing =
      queryProperty(connection, L"SELECT Model FROM Win32_DiskDrive", L"NoSuchProperty");
  ASSERT_EQ(missing.size(), models.size());
  for (const auto& value : missing) EXPECT_EQ(value, "");
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

// How a scripted call answers: as the system does, with a failure, or with
// a success that hands back no interface (no row, for Next).
enum class Answer { System, Failure, Null };
enum class Step { None, Initialize, CreateLocator, ConnectServer, SetProxyBlanket, ExecQuery };

// The system's locator behind a reference count of its own, so that the
// runtime hears when the connection gives it back.
class WatchedLocator final : public IWbemLocator {
 public:
  WatchedLocator(IWbemLocator* system, std::function<void()> onGivenBack)
      : system_(system), onGivenBack_(std::move(onGivenBack)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
    if (id != IID_IUnknown && id != IID_IWbemLocator) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      onGivenBack_();
      system_->Release();
      delete this;
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password,
                                          const BSTR locale, LONG flags, const BSTR authority,
                                          IWbemContext* context,
                                          IWbemServices** services) override {
    return system_->ConnectServer(resource, user, password, locale, flags, authority, context,
                                  services);
  }

 private:
  IWbemLocator* system_;
  std::function<void()> onGivenBack_;
  ULONG references_ = 1;
};

// The system's COM calls, with one step answered otherwise, the answers of
// Next scripted call by call (the system's once the script runs out), counts
// of initialisations and shutdowns, and a log of what the connection gives
// back, in order: "services", "locator", "uninitialize". The runtime holds a
// reference of its own on the services and on each row handed out, and sees
// them given back when only its own is left: the services at the next event
// logged, a row at the next call of Next.
class ScriptedComRuntime : public ComRuntime {
 public:
  explicit ScriptedComRuntime(Step step = Step::None, Answer answer = Answer::Failure,
                              std::vector<Answer> nextAnswers = {})
      : step_(step), answer_(answer), nextAnswers_(std::move(nextAnswers)) {}

  HRESULT initialize() override {
    if (step_ == Step::Initialize) return E_OUTOFMEMORY;
    const HRESULT result = ComRuntime::initialize();
    if (SUCCEEDED(result)) ++initializations;
    return result;
  }
  HRESULT createLocator(IWbemLocator** locator) override {
    if (step_ == Step::CreateLocator) return scripted(REGDB_E_CLASSNOTREG, locator);
    IWbemLocator* system = nullptr;
    const HRESULT result = ComRuntime::createLocator(&system);
    if (FAILED(result)) return result;
    ++locatorsHeld_;
    *locator = new WatchedLocator(system, [this] {
      --locatorsHeld_;
      logGivenBack("locator");
    });
    return result;
  }
  HRESULT connectServer(IWbemLocator* locator, IWbemServices** services) override {
    if (step_ == Step::ConnectServer) return scripted(WBEM_E_ACCESS_DENIED, services);
    const HRESULT result = ComRuntime::connectServer(locator, services);
    if (SUCCEEDED(result) && *services != nullptr) {
      dropServices();
      services_ = *services;
      services_->AddRef();
    }
    return result;
  }
  HRESULT setProxyBlanket(IWbemServices* services) override {
    if (step_ == Step::SetProxyBlanket) return E_ACCESSDENIED;
    return ComRuntime::setProxyBlanket(services);
  }
  HRESULT execQuery(IWbemServices* services, const wchar_t* query,
                    IEnumWbemClassObject** rows) override {
    if (step_ == Step::ExecQuery) return scripted(WBEM_E_INVALID_QUERY, rows);
    return ComRuntime::execQuery(services, query, rows);
  }
  HRESULT next(IEnumWbemClassObject* rows, IWbemClassObject** row, ULONG* returned) override {
    ++nextCalls;
    if (lastRow_ != nullptr && lastRow_->Release() != 0) ++rowsHeldAtNext;
    lastRow_ = nullptr;
    const Answer answer = nextAnswers_.empty() ? Answer::System : nextAnswers_.front();
    if (!nextAnswers_.empty()) nextAnswers_.erase(nextAnswers_.begin());
    if (answer == Answer::Failure) return WBEM_E_FAILED;  // leaves the count at 0
    if (answer == Answer::Null) {
      *returned = 1;
      return WBEM_S_NO_ERROR;
    }
    const HRESULT result = ComRuntime::next(rows, row, returned);
    if (*returned != 0 && *row != nullptr) {
      lastRow_ = *row;
      lastRow_->AddRef();
    }
    return result;
  }
  void uninitialize() override {
    ++shutdowns;
    logGivenBack("uninitialize");
    ComRuntime::uninitialize();
  }

  // Drops this runtime's own references; true when none is left elsewhere.
  bool interfacesAllGivenBack() {
    const bool rowFree = lastRow_ == nullptr || lastRow_->Release() == 0;
    const bool servicesFree = services_ == nullptr || services_->Release() == 0;
    lastRow_ = nullptr;
    services_ = nullptr;
    return rowFree && servicesFree && locatorsHeld_ == 0;
  }

  int initializations = 0;
  int shutdowns = 0;
  int nextCalls = 0;
  int rowsHeldAtNext = 0;  // rows the connection still held when it asked for the next
  std::vector<std::string> log;

 private:
  template <typename T>
  HRESULT scripted(HRESULT failure, T** out) const {
    if (answer_ == Answer::Failure) return failure;
    *out = nullptr;
    return S_OK;
  }
  void logGivenBack(const char* event) {
    if (services_ != nullptr) {
      services_->AddRef();
      if (services_->Release() == 1) {
        log.push_back("services");
        dropServices();
      }
    }
    log.push_back(event);
  }
  void dropServices() {
    if (services_ != nullptr) services_->Release();
    services_ = nullptr;
  }

  Step step_;
  Answer answer_;
  std::vector<Answer> nextAnswers_;
  IWbemServices* services_ = nullptr;
  IWbemClassObject* lastRow_ = nullptr;
  int locatorsHeld_ = 0;
};

using Log = std::vector<std::string>;

// A null interface after a success code is undone exactly as that step's
// failure is.
TEST(WmiConnectionFailures, EachFailingStepIsUndoneInOrderAndLeavesNothingHeld) {
  const struct {
    Step step;
    Answer answer;
    Log undone;
  } cases[] = {
      {Step::Initialize, Answer::Failure, {}},
      {Step::CreateLocator, Answer::Failure, {"uninitialize"}},
      {Step::CreateLocator, Answer::Null, {"uninitialize"}},
      {Step::ConnectServer, Answer::Failure, {"locator", "uninitialize"}},
      {Step::ConnectServer, Answer::Null, {"locator", "uninitialize"}},
      {Step::SetProxyBlanket, Answer::Failure, {"services", "locator", "uninitialize"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step) * 10 + static_cast<int>(c.answer));
    ScriptedComRuntime com(c.step, c.answer);
    WmiConnection connection(com);
    EXPECT_FALSE(connection.connect());
    EXPECT_EQ(com.log, c.undone);
    EXPECT_EQ(com.initializations, com.shutdowns);
    EXPECT_TRUE(comFullyShutDown());
    EXPECT_TRUE(com.interfacesAllGivenBack());
    bool called = false;
    EXPECT_FALSE(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                         [&](const WmiRow&) { called = true; }));
    EXPECT_FALSE(called);
  }
}

TEST(WmiConnectionFailures, ReleaseGivesBackServicesThenLocatorThenShutsComDown) {
  const Log released = {"services", "locator", "uninitialize"};
  ScriptedComRuntime com;
  {
    WmiConnection connection(com);
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(queryProperty(connection, L"SELECT Model FROM Win32_ComputerSystem", L"Model").size(),
              1u);
    EXPECT_TRUE(com.log.empty());
    connection.release();
    connection.release();
    EXPECT_EQ(com.log, released);
    // Again when a throwing handler takes the connection's scope down.
    com.log.clear();
    ASSERT_TRUE(connection.connect());
    EXPECT_THROW(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                         [](const WmiRow&) { throw std::bad_alloc(); }),
                 std::bad_alloc);
  }
  EXPECT_EQ(com.log, released);
  EXPECT_EQ(com.shutdowns, 2);
  EXPECT_TRUE(comFullyShutDown());
  EXPECT_TRUE(com.interfacesAllGivenBack());
}

TEST(WmiConnectionFailures, QueryWithoutAnEnumeratorIsRefused) {
  for (const Answer answer : {Answer::Failure, Answer::Null}) {
    SCOPED_TRACE(static_cast<int>(answer));
    ScriptedComRuntime com(Step::ExecQuery, answer);
    WmiConnection connection(com);
    ASSERT_TRUE(connection.connect());
    bool called = false;
    EXPECT_FALSE(connection.executeQuery(L"SELECT Model FROM Win32_ComputerSystem",
                                         [&](const WmiRow&) { called = true; }));
    EXPECT_FALSE(called);
    EXPECT_EQ(com.nextCalls, 0);
    connection.release();
    EXPECT_TRUE(comFullyShutDown());
    EXPECT_TRUE(com.interfacesAllGivenBack());
  }
}

// Wine's own services give Win32_Process more than two rows.
constexpr wchar_t ProcessQuery[] = L"SELECT Name FROM Win32_Process";

TEST(WmiConnectionRows, EachRowIsGivenBackBeforeTheNextAndANextWithoutARowEndsTheRows) {
  ScriptedComRuntime all;
  {
    WmiConnection connection(all);
    ASSERT_TRUE(connection.connect());
    const auto names = queryProperty(connection, ProcessQuery, L"Name");
    ASSERT_GT(names.size(), 2u);
    EXPECT_EQ(all.nextCalls, static_cast<int>(names.size()) + 1);
    EXPECT_EQ(all.rowsHeldAtNext, 0);
  }
  EXPECT_TRUE(all.interfacesAllGivenBack());
  // A failing Next, or one that counts a row but hands over none, after two
  // rows: the two stay delivered and the query still counts as accepted.
  for (const Answer third : {Answer::Failure, Answer::Null}) {
    SCOPED_TRACE(static_cast<int>(third));
    ScriptedComRuntime com(Step::None, Answer::Failure, {Answer::System, Answer::System, third});
    WmiConnection connection(com);
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(queryProperty(connection, ProcessQuery, L"Name").size(), 2u);
    EXPECT_EQ(com.nextCalls, 3);
    EXPECT_EQ(com.rowsHeldAtNext, 0);
    connection.release();
    EXPECT_TRUE(com.interfacesAllGivenBack());
  }
}

// The system's host, except that its connections make their COM calls
// through the given runtime.
class HostWithRuntime : public Host {
 public:
  explicit HostWithRuntime(ComRuntime& com) : com_(com) {}
  std::unique_ptr<WmiSession> newWmiConnection() override {
    return std::make_unique<WmiConnection>(com_);
  }
  bool registryKeyOpens(const std::string& subkey) override {
    return platformHost().registryKeyOpens(subkey);
  }
  std::optional<std::string> windowsDirectory() override {
    return platformHost().windowsDirectory();
  }
  bool pathExists(const std::string& path) override { return platformHost().pathExists(path); }
  std::optional<std::vector<std::string>> runningProcessImageNames() override {
    return platformHost().runningProcessImageNames();
  }
  CpuidRegisters cpuid(std::uint32_t leaf) override { return platformHost().cpuid(leaf); }

 private:
  ComRuntime& com_;
};

TEST(WmiConnectionInARun, DetectionBringsComUpAndDownFiveTimes) {
  ScriptedComRuntime com;
  HostWithRuntime host(com);
  const DetectionResult result = Detector(host).detect();
  EXPECT_EQ(result.error, "");
  for (const auto& line : result.evidence) EXPECT_NE(line, WmiWarningLine);
  EXPECT_EQ(com.initializations, 5);
  EXPECT_EQ(com.shutdowns, 5);
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
