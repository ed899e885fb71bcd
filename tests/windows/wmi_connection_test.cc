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

TEST(ToUtf8, ConvertsUpToTheFirstZero) {
  EXPECT_EQ(toUtf8(nullptr), "");
  EXPECT_EQ(toUtf8(L""), "");
  EXPECT_EQ(toUtf8(L"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(toUtf8(L"ab\0cd"), "ab");
  EXPECT_EQ(toUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");  // a surrogate pair
}

}  // namespace
}  // namespace guestwise
