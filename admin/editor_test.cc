#include "admin/editor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace zel {
namespace {

TEST(EditorCommand, TheFirstSetVariableSplitAtBlanks) {
  const struct {
    const char* sudo_editor;  // nullptr: unset
    const char* visual;
    const char* editor;
    std::vector<std::string> command;  // empty: the default
  } cases[] = {
      {nullptr, nullptr, nullptr, {}},
      {nullptr, nullptr, "nano", {"nano"}},
      {nullptr, "vim -n", "nano", {"vim", "-n"}},
      {"emacs  -nw\t--no-site", "vim", "nano", {"emacs", "-nw", "--no-site"}},
      {"  ", "vim", nullptr, {"vim"}},
      {"", "", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sudo_editor ? c.sudo_editor : "-") + "|" + (c.visual ? c.visual : "-") + "|" +
                 (c.editor ? c.editor : "-"));
    const auto set = [](const char* name, const char* value) {
      if (value != nullptr) {
        setenv(name, value, 1);
      } else {
        unsetenv(name);
      }
    };
    set("SUDO_EDITOR", c.sudo_editor);
    set("VISUAL", c.visual);
    set("EDITOR", c.editor);
    EXPECT_EQ(editor_command(), c.command);
  }
  for (const char* name : {"SUDO_EDITOR", "VISUAL", "EDITOR"}) unsetenv(name);
}

}  // namespace
}  // namespace zel
