#pragma once
// What the host tests share: the module loaded as a host loads it, a plug-in
// object destroyed through its virtual destructor, and a scratch directory
// to run sends in.
#include <filesystem>
#include <string>

#include "plugin/email_interface.h"

namespace host_test {

// The factory of the module at SMTP_PLUGIN_PATH (a bare file name is looked
// for next to the test program); the test aborts when the module cannot be
// loaded.
Createsmtp_plugin_fn factory();
// dlsym / GetProcAddress on the loaded module.
void* findSymbol(const char* name);

// One plug-in instance, deleted through slot 1 like a host does.
class Plugin {
  public:
    Plugin();
    ~Plugin() { delete m_obj; }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    email_interface* operator->() const { return m_obj; }
    email_interface* get() const { return m_obj; }
    // Copies the pending code out (and clears it, as the slot does).
    std::wstring takeError();

  private:
    email_interface* m_obj;
};

// A loopback port that nothing listens on right now, as text.
std::wstring closedLoopbackPort();

// Creates a fresh directory, makes it the current one, and undoes both.
// File names are UTF-8.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    // The directory as the host passes paths: a wide string.
    std::wstring widePath() const;
    std::string read(const std::string& name) const;  // empty when missing
    bool exists(const std::string& name) const;
    void write(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};

}  // namespace host_test
