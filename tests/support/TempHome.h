#pragma once

#include <string>

#include "core/common/Bytes.h"

namespace lumifold::testing {

// A fresh folder under the temporary directory that stands in for a user's home; removed with
// everything in it when the object goes away.
class TempHome final {
  public:
    // Where the home is made. Nothing under a temporary location is ever excluded from a stage,
    // so tests of the exclusion rules need a home elsewhere: under $HOME/.cache.
    enum class Place { temporary, outsideTemporary };

    explicit TempHome(Place place = Place::temporary);
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return m_path; }
    // False when a home asked to be outside the temporary locations could not be.
    bool isOutsideTemporary() const;
    // `relative` joined to the home path.
    std::string operator/(const std::string& relative) const;
    // Creates the folder (and parents) and returns its absolute path.
    std::string makeFolder(const std::string& relative) const;
    // Writes a file (creating parent folders) and returns its absolute path.
    std::string writeFile(const std::string& relative, ByteView bytes) const;
    std::string writeFile(const std::string& relative, const std::string& text) const;

  private:
    std::string m_path;
};

// Removes a tree without following symbolic links; errors are ignored.
void removeTree(const std::string& path);

}  // namespace lumifold::testing
