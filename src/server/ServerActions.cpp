// The router, the downloads and the folder listing.
#include "server/ServerActions.h"

#include "server/FindFile.h"
#include "server/PageAssets.h"
#include "server/RequestText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

constexpr const char kPageType[] = "Content-type: Text/Html; charset=UTF-8";
constexpr size_t kListedNameChars = 70;
constexpr size_t kFoundPathChars = 120;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Joins the page lines, each followed by CR LF, and adds the two page headers.
void FinishPage(const std::vector<std::string>& lines, std::string& body,
                std::vector<std::string>& headers) {
  size_t total = 0;
  for (const auto& l : lines) total += l.size() + 2;
  body.clear();
  body.reserve(total);
  for (const auto& l : lines) {
    body += l;
    body += "\r\n";
  }
  headers.emplace_back(kPageType);
  headers.emplace_back("Content-length: " + std::to_string(body.size()));
}

// A text that goes inside a single-quoted JavaScript string of an HTML
// attribute: a quote mark becomes %27, then the attribute escapes apply.
std::string ScriptQuoted(std::string text) {
  std::string out;
  for (const char c : text) {
    if (c == '\'') {
      out += "%27";
    } else {
      out += c;
    }
  }
  return HtmlEscape(out);
}

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

UniqueFd OpenRegularFile(const std::string& path, uint64_t& size) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return fd;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return UniqueFd();
  }
  size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void ListFolder(const std::string& folder, std::vector<TFolderEntry>& files,
                std::vector<TFolderEntry>& folders) {
  files.clear();
  folders.clear();
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return;
  const int dfd = dirfd(dir.get());
  while (dirent* e = readdir(dir.get())) {
    if (e->d_name[0] == '.' && e->d_name[1] == '\0') continue;
    struct stat st {};
    if (fstatat(dfd, e->d_name, &st, 0) != 0 &&
        fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    TFolderEntry entry;
    entry.name = e->d_name;
    entry.directory = S_ISDIR(st.st_mode);
    entry.size = entry.directory ? 0 : static_cast<uint64_t>(st.st_size);
    entry.mtime = st.st_mtime;
    (entry.directory ? folders : files).push_back(std::move(entry));
  }
  auto less = [](const TFolderEntry& a, const TFolderEntry& b) {
    return CompareNames(a.name, b.name) < 0;
  };
  std::stable_sort(files.begin(), files.end(), less);
  std::stable_sort(folders.begin(), folders.end(), less);
}

bool TServerActions::HandleRequest(const std::string& uri, std::string& body,
                                   std::vector<std::string>& headers, ResponseMode& mode) {
  body.clear();
  headers.clear();
  Headers = &headers;
  const std::string p = uri == "/" ? std::string() : DecodeRequestPath(uri);
  const std::string f = JoinFolder(RootFolder, p);

  if (p.empty()) {
    mode = ResponseMode::Text;
    return BuildFolderPage(f, p, body);
  }
  if (PosNoCase("DOWNLOAD?", p) > 0) {
    mode = ResponseMode::Bytes;
    OpenDownload(RootFolder, TextAfter("DOWNLOAD?", p));
    return false;
  }
  if (PosNoCase("SYSTEMIMG/", p) > 0) {
    mode = ResponseMode::Bytes;
    const bool folder = CompareNames(TextAfter("SYSTEMIMG/", p), "FOLDER.JPG") == 0;
    return SendPicture(SystemFolder(), folder ? "mirelo folder.gif" : "mirelo file.gif", body);
  }
  if (PosNoCase("TAMBNEIL/", p) > 0) {
    mode = ResponseMode::Bytes;
    return SendPicture(CacheFolder(), TextAfter("TAMBNEIL/", p), body);
  }
  if (IsPictureName(p)) {
    mode = ResponseMode::Bytes;
    return SendPicture(RootFolder, p, body);
  }
  mode = ResponseMode::Text;
  if (p == "UPLOADING") return BuildFolderPage(f, p, body);
  if (PosNoCase("CMDUPLOADFILE", p) > 0) return BuildUploadPage(TextAfter("?", p), body);
  if (PosNoCase("UPLOAD", p) > 0) return BuildFolderPage(f, p, body);
  if (PosNoCase("SEARCH?", p) > 0) {
    const std::string q = TextAfter("SEARCH?", p);
    std::string text;
    std::string folder;
    const size_t amp = q.find('&');
    if (amp != std::string::npos) {
      auto valueOf = [](const std::string& part) {
        const size_t eq = part.find('=');
        return eq == std::string::npos ? part : part.substr(eq + 1);
      };
      text = valueOf(q.substr(0, amp));
      folder = valueOf(q.substr(amp + 1));
      if (folder.empty()) folder.push_back('/');
    } else {
      folder = q;
    }
    return BuildSearchPage(text, folder, body);
  }
  return BuildFolderPage(f, p, body);
}

bool TServerActions::BuildFolderPage(const std::string& folder, const std::string& rel,
                                     std::string& body) {
  std::vector<std::string> lines;
  lines.reserve(128);
  lines.emplace_back("<html>");
  lines.push_back(StyleSheet());
  lines.emplace_back("<body>");
  AddAdvertBlock(lines);
  const std::string encodedRel = ScriptQuoted(UrlEncode(ToUrlSlashes(rel)));
  lines.insert(lines.end(), {
                                "<br><table class=\"sort-table\" id=\"table-1\" cellspacing=\"0\">",
                                "<form method=\"get\">",
                                "<thead>",
                                "<tr>",
                                "<td colspan=\"5\" align=\"center\">",
                                NoticeLine(),
                                "</td>",
                                "</tr>",
                                "</thead>",
                                "<thead>",
                                "<tr>",
                                "<td bgcolor=\"#CCCCFF\" colspan=\"4\">",
                                "<input type=\"button\" name=\"search\" value=\"Search\" "
                                "onClick=\"javascript:location.href='/search?" +
                                    encodedRel + "'\">",
                            });
  if (AllowUploads) {
    lines.push_back(
        "<input type=\"button\" name=\"upload\" value=\"Upload\" "
        "onClick=\"javascript:location.href='/CmdUploadFile?" +
        encodedRel + "'\">");
  }
  lines.insert(lines.end(), {
                                "</td>",
                                "</tr>",
                                "</thead>",
                                "<thead>",
                                "<tr>",
                                "<td align=\"center\" width=\"2\">&nbsp;</td>",
                                "<td align=\"center\" width=\"408\">File name</td>",
                                "<td align=\"center\" width=\"130\">Size</td>",
                                "<td align=\"center\" width=\"150\">Modified</td>",
                                "</tr>",
                                "</thead>",
                            });

  std::vector<TFolderEntry> files;
  std::vector<TFolderEntry> folders;
  const TConfined cleaned = ConfinePath(RootFolder, folder);
  const std::string listed = WithSeparator(cleaned.path);
  if (cleaned.accepted) ListFolder(listed, files, folders);

  for (size_t i = 0; i < folders.size(); ++i) {
    const TFolderEntry& e = folders[i];
    const char* k = (folders.size() - i) % 2 == 1 ? "FoldOdd" : "FoldEven";
    lines.emplace_back("<tr>");
    if (!(e.name == ".." && rel.empty())) {
      std::string link;
      std::string shown;
      if (e.name == "..") {
        link = "../";
        shown = "&lt; Back";
      } else {
        link = HtmlEscape(UrlEncode(e.name)) + "/";
        shown = HtmlEscape(FirstChars(e.name, kListedNameChars));
      }
      lines.insert(lines.end(),
                   {
                       "<td>",
                       "<img src=\"SystemImg/folder.jpg\">",
                       "</td>",
                       std::string("<td class=\"") + k + "\">",
                       "<a href=\"" + link + "\"><b>" + shown + "</b></a>",
                       "</td>",
                       std::string("<td align=\"center\" class=\"") + k + "\">",
                       "-",
                       "</td>",
                       std::string("<td align=\"center\" class=\"") + k + "\">",
                       FormatFileTime(e.mtime),
                       "</td>",
                       std::string("<td align=\"center\" class=\"") + k + "\">&nbsp;</td>",
                   });
    }
    lines.emplace_back("</tr>");
  }

  std::vector<std::string> pictures;
  std::vector<size_t> pictureRows;
  for (size_t i = 0; i < files.size(); ++i) {
    if (IsPictureName(files[i].name)) {
      pictures.push_back(listed + files[i].name);
      pictureRows.push_back(i);
    }
  }
  std::vector<std::string> thumbs(files.size());
  if (!pictures.empty()) {
    std::vector<std::string> names = ThumbNames(pictures);
    for (size_t j = 0; j < pictureRows.size() && j < names.size(); ++j) {
      thumbs[pictureRows[j]] = FileNamePart(names[j]);
    }
  }
  const std::string linkFolder = HtmlEscape(EncodePathComponents(WithSeparator(rel)));
  for (size_t i = 0; i < files.size(); ++i) {
    const TFolderEntry& e = files[i];
    const char* k = (files.size() - i) % 2 == 1 ? "Odd" : "Even";
    const std::string d = linkFolder + HtmlEscape(UrlEncode(e.name));
    std::string img;
    if (IsPictureName(e.name)) {
      img = "<img src=\"/TAMBNEIL/" + HtmlEscape(thumbs[i]) +
            "\" border=\"0\"  align=\"absmiddle\" />";
    }
    lines.insert(lines.end(),
                 {
                     "<tr>",
                     "<td>",
                     "<img src=\"SystemImg/file.jpg\">",
                     "</td>",
                     std::string("<td class=\"") + k + "\">",
                     "<a href=\"/download?" + d + "\">" + img + "</a> <a href=\"/download?" + d +
                         "\">" + HtmlEscape(FirstChars(e.name, kListedNameChars)) + "</a>",
                     "</td>",
                     std::string("<td align=\"center\" class=\"") + k + "\">",
                     FormatFileSize(e.size),
                     "</td>",
                     std::string("<td align=\"center\" class=\"") + k + "\">",
                     FormatFileTime(e.mtime),
                     "</td>",
                     "</tr>",
                 });
  }

  lines.emplace_back("</table><br>");
  AddAdvertBlock(lines);
  lines.push_back("<input type=\"hidden\" name=\"path\" value=\"" + HtmlEscape(ToUrlSlashes(rel)) +
                  "\">");
  lines.emplace_back("</form>");
  lines.emplace_back("</body></html>");
  FinishPage(lines, body, *Headers);
  return true;
}

void TServerActions::OpenDownload(const std::string& base, const std::string& name) {
  std::string path;
  std::string shownName;
  const TConfined c = ConfinePath(base, base + name);
  uint64_t size = 0;
  UniqueFd fd = c.accepted ? OpenRegularFile(c.path, size) : UniqueFd();
  if (fd) {
    path = c.path;
    shownName = FileNamePart(name);
  } else {
    // Missing, refused, a folder or not a regular file: the not-found picture.
    path = SystemFolder() + "not found.jpg";
    shownName = "not found.jpg";
    fd = OpenRegularFile(path, size);
    if (!fd) {
      throw std::system_error(errno, std::generic_category(), "Cannot open file " + path);
    }
  }
  Download = std::move(fd);
  Headers->emplace_back("Content-type: application/force-download");
  Headers->emplace_back("Content-Length: " + std::to_string(size));
  Headers->emplace_back("Content-Disposition: attachment; filename=\"" + HeaderQuoted(shownName) +
                        "\";");
}

int TServerActions::ReadDownloadBlock(char* buffer) {
  if (!Download) throw std::runtime_error("no download is open");
  struct stat st {};
  if (fstat(Download.get(), &st) != 0) throw std::runtime_error("download: cannot stat");
  const off_t position = lseek(Download.get(), 0, SEEK_CUR);
  if (position < 0) throw std::runtime_error("download: cannot seek");
  const off_t left = std::max<off_t>(0, st.st_size - position);
  const int want = static_cast<int>(std::min<off_t>(left, kDownloadBlockSize));
  int got = 0;
  while (got < want) {
    const ssize_t n = read(Download.get(), buffer + got, static_cast<size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("download: short read");
    got += static_cast<int>(n);
  }
  return got;
}

bool TServerActions::SendDownload(int socketFd) {
  if (!Download) return true;
  struct stat st {};
  if (fstat(Download.get(), &st) != 0) return false;
  off_t position = lseek(Download.get(), 0, SEEK_CUR);
  if (position < 0) return false;
  while (position < st.st_size) {
    const off_t left = st.st_size - position;
    const size_t chunk = static_cast<size_t>(std::min<off_t>(left, off_t{1} << 30));
    // sendfile advances position itself, not the file's offset.
    const ssize_t n = sendfile(socketFd, Download.get(), &position, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
  }
  return lseek(Download.get(), position, SEEK_SET) == position;
}

bool TServerActions::BuildSearchPage(const std::string& searchText, const std::string& rel,
                                     std::string& body) {
  std::vector<std::string> lines;
  lines.reserve(64);
  lines.emplace_back("<html>");
  lines.push_back(StyleSheet());
  lines.emplace_back("<body>");
  AddAdvertBlock(lines);
  const std::string p = ToUrlSlashes(rel);
  // The Back button's address: relative to /search, never a host name.
  std::string back = EncodePathForScript(p);
  while (back.size() > 1 && back[0] == '/' && back[1] == '/') back.erase(0, 1);
  lines.insert(lines.end(),
               {
                   "<br><table class=\"sort-table\" id=\"table-1\" cellspacing=\"0\">",
                   "<form method=\"get\" action=\"/search\">",
                   "<thead>",
                   "<tr>",
                   "<td colspan=\"2\" align=\"center\">",
                   NoticeLine(),
                   "</td>",
                   "</tr>",
                   "</thead>",
                   "<thead>",
                   "<tr>",
                   "<td bgcolor=\"#CCCCFF\" colspan=\"2\">",
                   "<input type=\"text\"   name=\"searchtext\" size=\"80\" value=\"" +
                       HtmlEscape(searchText) + "\">",
                   "<input type=\"hidden\" name=\"path\" value=\"" + HtmlEscape(p) + "\">",
                   "<input type=\"submit\" value=\"Search\">",
                   "<input type=\"button\" value=\"Back\" OnClick=\"JavaScript:location.href='" +
                       HtmlEscape(back) + "'\">",
                   "</td>",
                   "</tr>",
                   "</thead>",
               });
  if (!searchText.empty()) {
    lines.insert(lines.end(), {
                                  "<thead>",
                                  "<tr>",
                                  "<td align=\"center\" width=\"2\">&nbsp;</td>",
                                  "<td align=\"center\" width=\"726\">File</td>",
                                  "</tr>",
                                  "</thead>",
                              });
    const TConfined b = ConfinePath(RootFolder, WithSeparator(RootFolder + rel));
    struct stat st {};
    if (b.accepted && stat(b.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      TFindFile finder;
      finder.FileAttr = ffaArchive;
      finder.InSubFolders = true;
      finder.SetPath(b.path);
      finder.FileMask = "*" + searchText + "*.*";
      const std::vector<std::string>& found = finder.FindFiles();
      // Results are shown below the shared folder; a search that named its
      // folder from the top ("/...") shows them with a leading "/".
      const std::string lead = (!rel.empty() && rel[0] == '/') ? "/" : "";
      for (size_t i = 0; i < found.size(); ++i) {
        const std::string r =
            lead + ToUrlSlashes(found[i].substr(std::min(found[i].size(), RootFolder.size())));
        const char* k = i % 2 == 0 ? "Even" : "Odd";
        std::string shown = HtmlEscape(FirstChars(r, kFoundPathChars));
        if (CharCount(r) > kFoundPathChars) shown += "..";
        lines.insert(lines.end(), {
                                      "<tr>",
                                      "<td>",
                                      "<img src=\"SystemImg/file.jpg\">",
                                      "</td>",
                                      std::string("<td class=\"") + k + "\">",
                                      "  <a href=\"/download?" + HtmlEscape(UrlEncode(r)) + "\">" +
                                          shown + "</a>",
                                      "</td>",
                                      "</tr>",
                                  });
      }
    }
  }
  lines.insert(lines.end(), {"</table>", "</form>", "</body></html>"});
  FinishPage(lines, body, *Headers);
  return true;
}

bool TServerActions::BuildUploadPage(const std::string& rel, std::string& body) {
  if (!AllowUploads) return false;
  std::vector<std::string> lines;
  lines.reserve(48);
  lines.emplace_back("<html>");
  lines.push_back(StyleSheet());
  lines.push_back(UploadScript());
  lines.emplace_back("<body>");
  AddAdvertBlock(lines);
  lines.insert(
      lines.end(),
      {
          "<br><table class=\"sort-table\" id=\"table-1\" cellspacing=\"0\">",
          "<form enctype=\"multipart/form-data\" method=\"post\" action=\"/upload\" "
          "onsubmit=\"return AIM.submit(this, {'onStart' : startCallback, 'onComplete' : "
          "completeCallback})\">",
          "<thead>",
          " <tr>",
          " <td colspan=\"5\" align=\"center\">",
          " " + NoticeLine(),
          " </td>",
          " </tr>",
          " </thead>",
          " <thead>",
          " <tr>",
          " <td bgcolor=\"#CCCCFF\" colspan=\"5\" width=\"690\">",
          " <input type=\"file\"   name=\"file\" size=\"60\">",
          " <input type=\"hidden\" name=\"path\" value=\"" + HtmlEscape(ToUrlSlashes(rel)) + "\">",
          " <input type=\"submit\" value=\"Upload\">",
          " </td>",
          " </tr>",
          " </thead>",
          "</table>",
          "</form>",
          "<div><span id=\"r\">0</span></div>",
          "</body></html>",
      });
  FinishPage(lines, body, *Headers);
  return true;
}
