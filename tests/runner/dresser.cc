// Dresses the Windows machine it runs on as a hypervisor's guest, and
// undresses it again: the one way the tests dress a machine, a Wine guest
// and a hosted runner alike.
//
//   dresser dress FOLDER ITEM...   ITEM: key=SUBKEY, denied-key=SUBKEY,
//                                  folder=PATH, file=PATH or process=NAME
//   dresser undress FOLDER
//
// Keys are under HKEY_LOCAL_MACHINE, in the 64-bit view that guest tools
// write. A denied key is created, then every right on it is taken away. A
// process is a copy of sleeper.exe (beside the dresser) under NAME, left
// running. What was already there is left as it is. Every change is written
// to FOLDER\dressing.txt as soon as it is made, so that undress undoes
// exactly what dress did, after a failure too. Status 0; 1 and one line on
// standard error when something could not be done; 2 for a wrong call.
#include "platform/handles-win32.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using guestwise::ScopedHandle;

const char* const RecordName = "\\dressing.txt";
const REGSAM View = KEY_WOW64_64KEY;

std::string systemMessage(DWORD code) {
  char buffer[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
  return length > 0 ? std::string(buffer, length) : "error " + std::to_string(code);
}

[[noreturn]] void fail(const std::string& what, DWORD code) {
  throw std::runtime_error(what + ": " + systemMessage(code));
}

std::string fullPath(const std::string& path) {
  char buffer[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
  if (length == 0 || length >= MAX_PATH) fail("cannot make a full path of " + path, GetLastError());
  return std::string(buffer, length);
}

// The changes made so far, one "KIND<tab>TEXT" line each.
class Record {
 public:
  explicit Record(const std::string& path) : out_(path, std::ios::app) {
    if (!out_) throw std::runtime_error("cannot write the record " + path);
  }
  void add(const char* kind, const std::string& text) { out_ << kind << '\t' << text << std::endl; }

 private:
  std::ofstream out_;
};

// Each prefix of a backslash-separated path that ends at a separator, then the path itself.
std::vector<std::string> ancestry(const std::string& path, std::string::size_type first) {
  std::vector<std::string> prefixes;
  for (auto at = path.find('\\', first); at != std::string::npos; at = path.find('\\', at + 1)) {
    prefixes.push_back(path.substr(0, at));
  }
  prefixes.push_back(path);
  return prefixes;
}

// Returns whether the key itself was new.
bool createKey(const std::string& subkey, Record& record) {
  bool created = false;
  for (const std::string& path : ancestry(subkey, 0)) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                        KEY_READ | View, nullptr, &key, &disposition);
    if (status != ERROR_SUCCESS) fail("cannot create the key HKLM\\" + path, status);
    RegCloseKey(key);
    created = disposition == REG_CREATED_NEW_KEY;
    if (created) record.add("key", path);
  }
  return created;
}

// An empty DACL refuses everyone; a null one refuses no one.
void setKeyAccess(const std::string& subkey, bool allowed) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, WRITE_DAC | View, &key);
  if (status != ERROR_SUCCESS)
    fail("cannot open the key HKLM\\" + subkey + " to set its access", status);
  SECURITY_DESCRIPTOR descriptor;
  ACL emptyAcl;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  InitializeAcl(&emptyAcl, sizeof emptyAcl, ACL_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, allowed ? nullptr : &emptyAcl, FALSE);
  status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) fail("cannot set the access of the key HKLM\\" + subkey, status);
}

void createDeniedKey(const std::string& subkey, Record& record) {
  // A key that was there before belongs to the machine: it is not locked.
  if (!createKey(subkey, record)) {
    throw std::runtime_error("the key HKLM\\" + subkey + " exists already: it is not denied");
  }
  setKeyAccess(subkey, false);
}

void createFolder(const std::string& folder, Record& record) {
  // From the first folder below the drive's root ("C:\").
  for (const std::string& path : ancestry(folder, 3)) {
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      record.add("folder", path);
    } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
      fail("cannot create the folder " + path, GetLastError());
    }
  }
}

void createFile(const std::string& path, Record& record) {
  createFolder(path.substr(0, path.rfind('\\')), record);
  const ScopedHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    if (GetLastError() == ERROR_FILE_EXISTS) return;
    fail("cannot create the file " + path, GetLastError());
  }
  record.add("file", path);
  const char text[] = "Made by the Guestwise dresser for a test; undressing removes it.\r\n";
  DWORD written = 0;
  WriteFile(file.get(), text, sizeof text - 1, &written, nullptr);
}

std::string besideThisProgram(const std::string& name) {
  char buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) fail("cannot find the dresser's own path", GetLastError());
  const std::string self(buffer, length);
  return self.substr(0, self.rfind('\\') + 1) + name;
}

bool exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A copy of the sleeper under `name`, running once it has made its ready file.
void startProcess(const std::string& name, const std::string& folder, int index, Record& record) {
  const std::string home = folder + "\\process-" + std::to_string(index);
  createFolder(home, record);
  const std::string image = home + "\\" + name;
  if (!CopyFileA(besideThisProgram("sleeper.exe").c_str(), image.c_str(), TRUE)) {
    fail("cannot copy sleeper.exe to " + image, GetLastError());
  }
  record.add("file", image);
  const std::string ready = home + "\\ready";
  record.add("file", ready);
  std::string commandLine = "\"" + image + "\" \"" + ready + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(image.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, home.c_str(), &startup, &process)) {
    fail("cannot start the process " + name, GetLastError());
  }
  const ScopedHandle handle(process.hProcess), thread(process.hThread);
  record.add("process", std::to_string(process.dwProcessId) + " " + image);
  for (int waited = 0; !exists(ready); waited += 50) {
    if (WaitForSingleObject(handle.get(), 50) == WAIT_OBJECT_0 || waited > 60000) {
      throw std::runtime_error("the process " + name + " did not start running");
    }
  }
}

void dress(const std::string& folder, const std::vector<std::string>& items) {
  Record record(folder + RecordName);
  int processes = 0;
  for (const std::string& item : items) {
    const auto equals = item.find('=');
    const std::string kind = item.substr(0, equals), value = item.substr(equals + 1);
    if (equals == std::string::npos || value.empty()) {
      throw std::invalid_argument("not an item: " + item);
    } else if (kind == "key") {
      createKey(value, record);
    } else if (kind == "denied-key") {
      createDeniedKey(value, record);
    } else if (kind == "folder") {
      createFolder(value, record);
    } else if (kind == "file") {
      createFile(value, record);
    } else if (kind == "process") {
      startProcess(value, folder, processes++, record);
    } else {
      throw std::invalid_argument("not an item: " + item);
    }
  }
}

// Ends the process only while it still runs the image that dress started.
void stopProcess(const std::string& text) {
  const auto blank = text.find(' ');
  const DWORD id = std::stoul(text.substr(0, blank));
  const std::string image = text.substr(blank + 1);
  const ScopedHandle process(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  if (!process.valid()) return;  // ended already
  char buffer[MAX_PATH];
  DWORD length = MAX_PATH;
  if (!QueryFullProcessImageNameA(process.get(), 0, buffer, &length) ||
      lstrcmpiA(buffer, image.c_str()) != 0) {
    return;
  }
  if (!TerminateProcess(process.get(), 0) &&
      WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) {
    fail("cannot stop the process " + image, GetLastError());
  }
  WaitForSingleObject(process.get(), 10000);
}

void removeKey(const std::string& subkey) {
  LONG status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), View, 0);
  if (status == ERROR_ACCESS_DENIED) {
    setKeyAccess(subkey, true);
    status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), View, 0);
  }
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    fail("cannot remove the key HKLM\\" + subkey, status);
  }
}

// A process that has just ended may hold its image and its folder for a moment.
template <typename Remove>
void removeOrFail(const char* what, const std::string& path, Remove remove) {
  for (int attempt = 0; !remove(path.c_str()); ++attempt) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    if (attempt == 50) fail(std::string("cannot remove the ") + what + " " + path, error);
    Sleep(100);
  }
}

void undo(const std::string& kind, const std::string& text) {
  if (kind == "process") stopProcess(text);
  if (kind == "file") removeOrFail("file", text, DeleteFileA);
  if (kind == "folder") removeOrFail("folder", text, RemoveDirectoryA);
  if (kind == "key") removeKey(text);
}

// Undoes every recorded change, last first, going on past a failure; true when all were undone.
bool undress(const std::string& folder) {
  std::vector<std::string> lines;
  {
    std::ifstream in(folder + RecordName);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  bool undone = true;
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const auto tab = line->find('\t');
    try {
      undo(line->substr(0, tab), line->substr(tab + 1));
    } catch (const std::exception& error) {
      std::fprintf(stderr, "dresser: %s\n", error.what());
      undone = false;
    }
  }
  if (undone) DeleteFileA((folder + RecordName).c_str());
  return undone;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string command = argc > 2 ? argv[1] : "";
  if (command != "dress" && command != "undress") {
    std::fprintf(stderr, "usage: dresser dress FOLDER ITEM... | dresser undress FOLDER\n");
    return 2;
  }
  try {
    const std::string folder = fullPath(argv[2]);
    if (command == "undress") return undress(folder) ? 0 : 1;
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      fail("cannot create the folder " + folder, GetLastError());
    }
    dress(folder, std::vector<std::string>(argv + 3, argv + argc));
    return 0;
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "dresser: %s\n", error.what());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "dresser: %s\n", error.what());
    return 1;
  }
}
