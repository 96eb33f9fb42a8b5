// The three pages: folder listing, search and upload form. Each is written
// line by line straight into its body, every line ended by CR LF.
#include "server/ServerActions.h"

#include "server/FindFile.h"
#include "server/FolderCache.h"
#include "server/PageAssets.h"
#include "server/RequestText.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char kPageType[] = "Content-type: Text/Html; charset=UTF-8";
constexpr size_t kListedNameChars = 70;
constexpr size_t kFoundPathChars = 120;

// A page under construction.
class PageText {
 public:
  explicit PageText(size_t reserve) { text_.reserve(reserve); }

  // One line made of the given parts.
  template <class... Parts>
  void Line(const Parts&... parts) {
    (text_.append(std::string_view(parts)), ...);
    text_ += "\r\n";
  }
  // The start of a line; Raw and Html add to it, End finishes it.
  PageText& Raw(std::string_view part) {
    text_.append(part);
    return *this;
  }
  PageText& Html(std::string_view value) {
    AppendHtmlEscaped(text_, value);
    return *this;
  }
  void End() { text_ += "\r\n"; }

  // The head every page starts with: "<html>", the style element, the upload
  // script when asked for, "<body>" and the advert block.
  void Head(bool withUploadScript) {
    Line("<html>");
    Line(StyleSheet());
    if (withUploadScript) Line(UploadScript());
    Line("<body>");
    Adverts();
  }
  void Adverts() {
    static const std::string block = [] {
      std::vector<std::string> lines;
      AddAdvertBlock(lines);
      std::string joined;
      for (const auto& l : lines) joined += l + "\r\n";
      return joined;
    }();
    text_ += block;
  }

  // Hands the page over as body and adds the two page headers.
  void Finish(std::string& body, std::vector<std::string>& headers) {
    body = std::move(text_);
    headers.emplace_back(kPageType);
    headers.emplace_back("Content-length: " + std::to_string(body.size()));
  }

 private:
  std::string text_;
};

// A text inside a single-quoted JavaScript string of an HTML attribute: a
// quote mark becomes %27 (the rest is already percent-encoded).
std::string ScriptQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\'') {
      out += "%27";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool TServerActions::BuildFolderPage(const std::string& folder, const std::string& rel,
                                     THttpResponse& response) {
  const TConfined cleaned = ConfinePath(RootFolder, folder);
  const std::string listed = WithSeparator(cleaned.path);
  std::shared_ptr<const TFolderListing> listing;
  if (!cleaned.accepted) {
    listing = std::make_shared<const TFolderListing>();
  } else if (Listings) {
    listing = Listings->List(listed);
  } else {
    auto read = std::make_shared<TFolderListing>();
    ListFolder(listed, read->files, read->folders);
    listing = std::move(read);
  }
  const std::vector<TFolderEntry>& files = listing->files;
  const std::vector<TFolderEntry>& folders = listing->folders;

  PageText page(6000 + 330 * (files.size() + folders.size()));
  page.Head(false);
  page.Line("<br><table class=\"sort-table\" id=\"table-1\" cellspacing=\"0\">");
  page.Line("<form method=\"get\">");
  page.Line("<thead>");
  page.Line("<tr>");
  page.Line("<td colspan=\"5\" align=\"center\">");
  page.Line(NoticeLine());
  page.Line("</td>");
  page.Line("</tr>");
  page.Line("</thead>");
  page.Line("<thead>");
  page.Line("<tr>");
  page.Line("<td bgcolor=\"#CCCCFF\" colspan=\"4\">");
  const std::string encodedRel = ScriptQuoted(UrlEncode(ToUrlSlashes(rel)));
  page.Raw(
          "<input type=\"button\" name=\"search\" value=\"Search\" "
          "onClick=\"javascript:location.href='/search?")
      .Html(encodedRel)
      .Raw("'\">")
      .End();
  if (AllowUploads) {
    page.Raw(
            "<input type=\"button\" name=\"upload\" value=\"Upload\" "
            "onClick=\"javascript:location.href='/CmdUploadFile?")
        .Html(encodedRel)
        .Raw("'\">")
        .End();
  }
  page.Line("</td>");
  page.Line("</tr>");
  page.Line("</thead>");
  page.Line("<thead>");
  page.Line("<tr>");
  page.Line("<td align=\"center\" width=\"2\">&nbsp;</td>");
  page.Line("<td align=\"center\" width=\"408\">File name</td>");
  page.Line("<td align=\"center\" width=\"130\">Size</td>");
  page.Line("<td align=\"center\" width=\"150\">Modified</td>");
  page.Line("</tr>");
  page.Line("</thead>");

  for (size_t i = 0; i < folders.size(); ++i) {
    const TFolderEntry& e = folders[i];
    const std::string_view k = (folders.size() - i) % 2 == 1 ? "FoldOdd" : "FoldEven";
    page.Line("<tr>");
    if (!(e.name == ".." && rel.empty())) {
      page.Line("<td>");
      page.Line("<img src=\"SystemImg/folder.jpg\">");
      page.Line("</td>");
      page.Line("<td class=\"", k, "\">");
      if (e.name == "..") {
        page.Line("<a href=\"../\"><b>&lt; Back</b></a>");
      } else {
        // The link carries the whole name, encoded; the router decodes it.
        page.Raw("<a href=\"")
            .Html(UrlEncode(e.name))
            .Raw("/\"><b>")
            .Html(FirstChars(e.name, kListedNameChars))
            .Raw("</b></a>")
            .End();
      }
      page.Line("</td>");
      page.Line("<td align=\"center\" class=\"", k, "\">");
      page.Line("-");
      page.Line("</td>");
      page.Line("<td align=\"center\" class=\"", k, "\">");
      page.Line(FormatFileTime(e.mtime));
      page.Line("</td>");
      page.Line("<td align=\"center\" class=\"", k, "\">&nbsp;</td>");
    }
    page.Line("</tr>");
  }

  // The thumbnails of all pictures at once: missing ones are queued, to be
  // made in the background while the page is on its way.
  std::vector<char> isPicture(files.size(), 0);
  std::vector<std::string> pictures;
  std::vector<struct timespec> times;  // as the listing found them
  for (size_t i = 0; i < files.size(); ++i) {
    if (IsPictureName(files[i].name)) {
      isPicture[i] = 1;
      pictures.push_back(listed + files[i].name);
      times.push_back(files[i].regular ? files[i].modified : timespec{0, -1});
    }
  }
  std::vector<std::string> thumbs;
  if (!pictures.empty()) thumbs = ThumbNames(pictures, times, response.HeldWhileSending);

  std::string link;
  const std::string linkFolder = EncodePathComponents(WithSeparator(rel));
  size_t picture = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const TFolderEntry& e = files[i];
    const std::string_view k = (files.size() - i) % 2 == 1 ? "Odd" : "Even";
    link.assign("<a href=\"/download?");
    AppendHtmlEscaped(link, linkFolder);
    AppendHtmlEscaped(link, UrlEncode(e.name));
    link += "\">";
    page.Line("<tr>");
    page.Line("<td>");
    page.Line("<img src=\"SystemImg/file.jpg\">");
    page.Line("</td>");
    page.Line("<td class=\"", k, "\">");
    page.Raw(link);
    if (isPicture[i]) {
      const std::string thumb =
          picture < thumbs.size() ? FileNamePart(thumbs[picture]) : std::string();
      ++picture;
      page.Raw("<img src=\"/TAMBNEIL/").Html(thumb).Raw("\" border=\"0\"  align=\"absmiddle\" />");
    }
    page.Raw("</a> ").Raw(link).Html(FirstChars(e.name, kListedNameChars)).Raw("</a>").End();
    page.Line("</td>");
    page.Line("<td align=\"center\" class=\"", k, "\">");
    page.Line(FormatFileSize(e.size));
    page.Line("</td>");
    page.Line("<td align=\"center\" class=\"", k, "\">");
    page.Line(FormatFileTime(e.mtime));
    page.Line("</td>");
    page.Line("</tr>");
  }

  page.Line("</table><br>");
  page.Adverts();
  page.Raw("<input type=\"hidden\" name=\"path\" value=\"")
      .Html(ToUrlSlashes(rel))
      .Raw("\">")
      .End();
  page.Line("</form>");
  page.Line("</body></html>");
  page.Finish(response.Body, response.Headers);
  return true;
}

bool TServerActions::BuildSearchPage(const std::string& searchText, const std::string& rel,
                                     THttpResponse& response) {
  PageText page(8000);
  page.Head(false);
  const std::string p = ToUrlSlashes(rel);
  // The Back button's address: relative to /search, never a host name.
  std::string back = EncodePathForScript(p);
  while (back.size() > 1 && back[0] == '/' && back[1] == '/') back.erase(0, 1);
  page.Line("<br><table class=\"sort-table\" id=\"table-1\" cellspacing=\"0\">");
  page.Line("<form method=\"get\" action=\"/search\">");
  page.Line("<thead>");
  page.Line("<tr>");
  page.Line("<td colspan=\"2\" align=\"center\">");
  page.Line(NoticeLine());
  page.Line("</td>");
  page.Line("</tr>");
  page.Line("</thead>");
  page.Line("<thead>");
  page.Line("<tr>");
  page.Line("<td bgcolor=\"#CCCCFF\" colspan=\"2\">");
  page.Raw("<input type=\"text\"   name=\"searchtext\" size=\"80\" value=\"")
      .Html(searchText)
      .Raw("\">")
      .End();
  page.Raw("<input type=\"hidden\" name=\"path\" value=\"").Html(p).Raw("\">").End();
  page.Line("<input type=\"submit\" value=\"Search\">");
  page.Raw("<input type=\"button\" value=\"Back\" OnClick=\"JavaScript:location.href='")
      .Html(back)
      .Raw("'\">")
      .End();
  page.Line("</td>");
  page.Line("</tr>");
  page.Line("</thead>");
  if (!searchText.empty()) {
    page.Line("<thead>");
    page.Line("<tr>");
    page.Line("<td align=\"center\" width=\"2\">&nbsp;</td>");
    page.Line("<td align=\"center\" width=\"726\">File</td>");
    page.Line("</tr>");
    page.Line("</thead>");
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
        page.Line("<tr>");
        page.Line("<td>");
        page.Line("<img src=\"SystemImg/file.jpg\">");
        page.Line("</td>");
        page.Line("<td class=\"", i % 2 == 0 ? "Even" : "Odd", "\">");
        page.Raw("  <a href=\"/download?")
            .Html(UrlEncode(r))
            .Raw("\">")
            .Html(FirstChars(r, kFoundPathChars))
            .Raw(CharCount(r) > kFoundPathChars ? "..</a>" : "</a>")
            .End();
        page.Line("</td>");
        page.Line("</tr>");
      }
    }
  }
  page.Line("</table>");
  page.Line("</form>");
  page.Line("</body></html>");
  page.Finish(response.Body, response.Headers);
  return true;
}

bool TServerActions::BuildUploadPage(const std::string& rel, THttpResponse& response) {
  if (!AllowUploads) return false;
  PageText page(9000);
  page.Head(true);
  page.Line("<br><table class=\"sort-table\" id=\"table-1\" cellspacing=\"0\">");
  page.Line(
      "<form enctype=\"multipart/form-data\" method=\"post\" action=\"/upload\" "
      "onsubmit=\"return AIM.submit(this, {'onStart' : startCallback, 'onComplete' : "
      "completeCallback})\">");
  page.Line("<thead>");
  page.Line(" <tr>");
  page.Line(" <td colspan=\"5\" align=\"center\">");
  page.Line(" ", NoticeLine());
  page.Line(" </td>");
  page.Line(" </tr>");
  page.Line(" </thead>");
  page.Line(" <thead>");
  page.Line(" <tr>");
  page.Line(" <td bgcolor=\"#CCCCFF\" colspan=\"5\" width=\"690\">");
  page.Line(" <input type=\"file\"   name=\"file\" size=\"60\">");
  page.Raw(" <input type=\"hidden\" name=\"path\" value=\"")
      .Html(ToUrlSlashes(rel))
      .Raw("\">")
      .End();
  page.Line(" <input type=\"submit\" value=\"Upload\">");
  page.Line(" </td>");
  page.Line(" </tr>");
  page.Line(" </thead>");
  page.Line("</table>");
  page.Line("</form>");
  page.Line("<div><span id=\"r\">0</span></div>");
  page.Line("</body></html>");
  page.Finish(response.Body, response.Headers);
  return true;
}
