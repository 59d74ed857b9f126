// Passwords in URLs, kept out of every line the client and the relay show.
#include "common/passwords.h"

#include <cctype>

namespace {

// How a URL's parts are separated, as written plainly or percent-encoded.
struct UrlForm {
  std::string_view scheme_end;  ///< "://"
  std::string_view colon;
  std::string_view at;
  std::string_view slash;
};
constexpr UrlForm kPlain{"://", ":", "@", "/"};
constexpr UrlForm kEncoded{"%3A%2F%2F", "%3A", "%40", "%2F"};

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

size_t find_nocase(std::string_view text, std::string_view what, size_t from) {
  for (size_t i = from; i + what.size() <= text.size(); ++i)
    if (equal_nocase(text.substr(i, what.size()), what)) return i;
  return std::string_view::npos;
}

// Where the authority that begins at `start` ends: at a path, query, fragment or blank.
size_t authority_end(std::string_view text, size_t start, const UrlForm& form) {
  size_t end = start;
  while (end < text.size()) {
    char c = text[end];
    if (c == '?' || c == '#' || c == '/' || std::isspace(static_cast<unsigned char>(c))) break;
    // In a request body the encoded URL is one field among others, ended by a comma.
    if (&form == &kEncoded && c == ',') break;
    if (&form == &kEncoded && equal_nocase(text.substr(end, form.slash.size()), form.slash)) break;
    ++end;
  }
  return end;
}

// Hides the passwords of the URLs of one form.
std::string hide(std::string_view text, const UrlForm& form) {
  std::string shown;
  size_t copied = 0;
  for (size_t at = find_nocase(text, form.scheme_end, 0); at != std::string_view::npos;
       at = find_nocase(text, form.scheme_end, at + 1)) {
    size_t start = at + form.scheme_end.size();
    size_t end = authority_end(text, start, form);
    std::string_view authority = text.substr(start, end - start);
    // The user information ends at the last '@' of the authority; its password follows the
    // first ':' within it.
    size_t user_end = std::string_view::npos;
    for (size_t i = find_nocase(authority, form.at, 0); i != std::string_view::npos;
         i = find_nocase(authority, form.at, i + 1))
      user_end = i;
    if (user_end == std::string_view::npos) continue;
    size_t colon = find_nocase(authority.substr(0, user_end), form.colon, 0);
    if (colon == std::string_view::npos) continue;
    size_t secret = start + colon + form.colon.size();
    if (secret < copied) continue;
    shown.append(text.substr(copied, secret - copied));
    shown.append("***");
    copied = start + user_end;
  }
  shown.append(text.substr(copied));
  return shown;
}

}  // namespace

std::string hide_passwords(std::string_view text) {
  if (text.find("://") == std::string_view::npos &&
      find_nocase(text, kEncoded.scheme_end, 0) == std::string_view::npos)
    return std::string(text);
  return hide(hide(text, kPlain), kEncoded);
}
