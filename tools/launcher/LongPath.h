#pragma once
// Local paths however deep the game directory is: the file API takes paths of MAX_PATH characters or
// more only in the "\\?\" form.

#include <string>

// The path as the file API takes it: an absolute path long enough to need it in the "\\?\" form
// ("\\?\UNC\" for a share), with '/' turned into '\' and repeated separators folded, since that form is
// taken literally; anything else unchanged.
std::wstring ForFileApi(const std::wstring& path);
