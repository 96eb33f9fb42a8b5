// The gallery pages: a folder or the results of a search as a grid of cards
// (folders first, then files, pictures with their thumbnails), a path bar,
// the search box, the folder's ZIP and upload form, and a small not-found
// page. Everything they load comes from /.mirelo/assets/; every link works
// without the script, which adds the viewer, sorting, the list view and
// uploads with progress.
#include "server/FindFile.h"
#include "server/FolderCache.h"
#include "server/GalleryText.h"
#include "server/RequestText.h"
#include "server/ServerActions.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kProgram = "Mirelo File Share";
// Search results beyond this many pictures are shown without a thumbnail.
constexpr size_t kSearchThumbs = 300;

class GalleryHtml {
 public:
  explicit GalleryHtml(size_t reserve) { text_.reserve(reserve); }
  GalleryHtml& Raw(std::string_view part) {
    text_.append(part);
    return *this;
  }
  GalleryHtml& Html(std::string_view value) {
    AppendHtmlEscaped(text_, value);
    return *this;
  }
  GalleryHtml& Number(std::uint64_t n) {
    text_ += std::to_string(n);
    return *this;
  }
  std::string& Text() { return text_; }

  void Head(std::string_view title) {
    Raw("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"referrer\" content=\"no-referrer\">\n<title>");
    if (!title.empty()) Html(title).Raw(" - ");
    Raw(kProgram).Raw(
        "</title>\n<link rel=\"stylesheet\" href=\"/.mirelo/assets/gallery.css\">\n"
        "<script src=\"/.mirelo/assets/gallery.js\" defer></script>\n</head>\n<body>\n");
  }

 private:
  std::string text_;
};

THttpResponse HtmlResponse(std::string body, int status) {
  THttpResponse response = THttpResponse::Raw(std::move(body));
  response.Status = status;
  response.Headers.emplace_back("Content-Type: text/html; charset=utf-8");
  response.Headers.push_back("Content-Length: " + std::to_string(response.Body.size()));
  response.Headers.emplace_back("Cache-Control: no-cache");
  return response;
}

// The folder's segments as links: the share itself, then each folder down
// to rel (a cleaned share-relative folder, "" or ending in "/").
void PathBar(GalleryHtml& page, const std::string& rel) {
  page.Raw("<nav class=\"crumbs\" aria-label=\"Folder path\"><ol>");
  page.Raw("<li><a href=\"/\"")
      .Raw(rel.empty() ? " aria-current=\"page\"" : "")
      .Raw(">Shared folder</a></li>");
  size_t start = 0;
  while (start < rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) slash = rel.size();
    const bool last = slash + 1 >= rel.size();
    page.Raw("<li><a href=\"/")
        .Html(EncodePathComponents(rel.substr(0, slash)))
        .Raw("/\"")
        .Raw(last ? " aria-current=\"page\"" : "")
        .Raw(">")
        .Html(rel.substr(start, slash - start))
        .Raw("</a></li>");
    start = slash + 1;
  }
  page.Raw("</ol></nav>\n");
}

void SearchBox(GalleryHtml& page, const std::string& rel, const std::string& text) {
  page.Raw(
      "<form class=\"search\" role=\"search\" method=\"get\" action=\"/search\">"
      "<label for=\"q\" class=\"vh\">Search file names</label>"
      "<input type=\"search\" id=\"q\" name=\"searchtext\" placeholder=\"Search\" value=\"");
  page.Html(text)
      .Raw("\"><input type=\"hidden\" name=\"path\" value=\"")
      .Html(rel)
      .Raw("\"><button type=\"submit\">Search</button></form>\n");
}

void Header(GalleryHtml& page, const std::string& rel, const std::string& heading,
            const std::string& searchText) {
  page.Raw("<header class=\"top\">\n");
  PathBar(page, rel);
  SearchBox(page, rel, searchText);
  page.Raw("</header>\n<main id=\"main\">\n<h1>").Html(heading).Raw("</h1>\n");
}

// The tools the script brings to life: sorting and the view.
void Tools(GalleryHtml& page) {
  page.Raw(
      "<div class=\"tools\" hidden><span id=\"sortl\">Sort by</span> "
      "<span role=\"group\" aria-labelledby=\"sortl\">"
      "<button type=\"button\" data-sort=\"name\" aria-pressed=\"true\">Name</button>"
      "<button type=\"button\" data-sort=\"date\" aria-pressed=\"false\">Date</button>"
      "<button type=\"button\" data-sort=\"size\" aria-pressed=\"false\">Size</button></span> "
      "<button type=\"button\" class=\"view\" aria-pressed=\"false\">List view</button></div>\n");
}

void Foot(GalleryHtml& page) {
  page.Raw("</main>\n<footer>Shared with ").Raw(kProgram).Raw("</footer>\n</body></html>\n");
}

struct TCard {
  std::string shown;  // the text of the card
  std::string rel;    // share-relative path, a folder ending in "/"
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  bool folder = false;
  std::string thumb;  // the thumbnail's file name, if any
};

// One entry: <li> with the kind as its class (d folder, p picture with its
// thumbnail, i picture without one, v video, a audio, none for the rest) and
// the size and time for sorting; a link to the folder or the file holding the
// name and the size and date. The list items are left open, as HTML allows,
// to keep a page of thousands of entries small.
void Card(GalleryHtml& page, const TCard& c) {
  const TMediaType media = c.folder ? TMediaType{} : MediaTypeOf(c.rel);
  std::string_view kind;
  if (c.folder) {
    kind = "d";
  } else if (media.Kind == TMediaKind::Picture) {
    kind = c.thumb.empty() ? "i" : "p";
  } else if (media.Kind == TMediaKind::Video) {
    kind = "v";
  } else if (media.Kind == TMediaKind::Audio) {
    kind = "a";
  }
  page.Raw("<li");
  if (!kind.empty()) page.Raw(" class=").Raw(kind);
  if (!c.folder) page.Raw(" data-s=").Number(c.size);
  page.Raw(" data-t=").Number(static_cast<std::uint64_t>(std::max<std::int64_t>(c.mtime, 0)));
  page.Raw(c.folder ? "><a href=\"/" : "><a href=\"/download?")
      .Html(EncodePathComponents(c.rel))
      .Raw("\">");
  if (!c.thumb.empty()) {
    page.Raw("<i><img src=\"/TAMBNEIL/").Html(c.thumb).Raw("\" alt=\"\" loading=\"lazy\"></i>");
  }
  page.Raw("<b>").Html(c.shown).Raw("</b><p>");
  if (!c.folder) page.Html(FormatFileSize(c.size)).Raw(" \xC2\xB7 ");
  page.Html(FormatFileTime(c.mtime)).Raw("</p></a>\n");
}

std::string LastSegment(const std::string& rel) {
  std::string_view r = rel;
  if (!r.empty() && r.back() == '/') r.remove_suffix(1);
  const size_t slash = r.rfind('/');
  return std::string(slash == std::string_view::npos ? r : r.substr(slash + 1));
}

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

THttpResponse GalleryNotFound() {
  GalleryHtml page(1200);
  page.Head("Not found");
  page.Raw(
      "<main id=\"main\" class=\"nf\"><h1>Not found</h1>\n"
      "<p>Nothing is shared at this address.</p>\n"
      "<p><a href=\"/\">Go to the shared folder</a></p></main>\n</body></html>\n");
  return HtmlResponse(std::move(page.Text()), 404);
}

THttpResponse TServerActions::GalleryFolderPage(const std::string& folder) {
  const TConfined cleaned = ConfinePath(RootFolder, WithSeparator(JoinFolder(RootFolder, folder)));
  struct stat st {};
  if (!cleaned.accepted || stat(cleaned.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return GalleryNotFound();
  }
  const std::string listed = WithSeparator(cleaned.path);
  const std::string rel = listed.size() > RootFolder.size() ? listed.substr(RootFolder.size()) : "";
  std::shared_ptr<const TFolderListing> listing;
  if (Listings) {
    listing = Listings->List(listed);
  } else {
    auto read = std::make_shared<TFolderListing>();
    ListFolder(listed, read->files, read->folders);
    listing = std::move(read);
  }
  const std::vector<TFolderEntry>& files = listing->files;
  const std::vector<TFolderEntry>& folders = listing->folders;

  std::vector<std::string> pictures;
  std::vector<struct timespec> times;
  for (const TFolderEntry& e : files) {
    if (IsPictureName(e.name)) {
      pictures.push_back(listed + e.name);
      times.push_back(e.regular ? e.modified : timespec{0, -1});
    }
  }
  std::vector<std::string> thumbs;
  std::shared_ptr<void> makersStart;
  if (!pictures.empty()) thumbs = ThumbNames(pictures, times, makersStart);

  const std::string heading = rel.empty() ? std::string("Shared folder") : LastSegment(rel);
  GalleryHtml page(3000 + 260 * (files.size() + folders.size()));
  page.Head(rel.empty() ? std::string() : heading);
  Header(page, rel, heading, "");
  page.Raw("<div class=\"bar\"><a class=\"zip\" href=\"/.mirelo/zip/")
      .Raw(EncodeDotPath(rel))
      .Raw("\" download>Download this folder</a></div>\n");
  if (AllowUploads) {
    page.Raw(
            "<form class=\"upload\" method=\"post\" enctype=\"multipart/form-data\" "
            "action=\"/.mirelo/upload/")
        .Raw(EncodeDotPath(rel))
        .Raw(
            "\"><label for=\"up\">Upload files</label> <input type=\"file\" id=\"up\" "
            "name=\"file\" multiple> <button type=\"submit\">Upload</button>"
            "<ul class=\"progress\" aria-live=\"polite\"></ul></form>\n");
  }
  Tools(page);
  page.Raw("<ul class=\"grid\" id=\"entries\" aria-label=\"Folders and files\">\n");
  TCard card;
  for (const TFolderEntry& e : folders) {
    if (e.name == "..") continue;  // the path bar leads up
    card.shown = e.name;
    card.rel = rel + e.name + "/";
    card.size = 0;
    card.mtime = e.mtime;
    card.folder = true;
    Card(page, card);
  }
  size_t picture = 0;
  card.folder = false;
  for (const TFolderEntry& e : files) {
    card.shown = e.name;
    card.rel = rel + e.name;
    card.size = e.size;
    card.mtime = e.mtime;
    card.thumb.clear();
    if (IsPictureName(e.name)) {
      if (picture < thumbs.size()) card.thumb = FileNamePart(thumbs[picture]);
      ++picture;
    }
    Card(page, card);
  }
  page.Raw("</ul>\n");
  if (folders.size() + files.size() == 0 ||
      (files.empty() && folders.size() == 1 && folders[0].name == "..")) {
    page.Raw("<p class=\"empty\">This folder is empty.</p>\n");
  }
  Foot(page);
  THttpResponse response = HtmlResponse(std::move(page.Text()), 200);
  response.HeldWhileSending = std::move(makersStart);
  return response;
}

THttpResponse TServerActions::GallerySearchPage(const std::string& searchText,
                                                const std::string& folder) {
  const TConfined b = ConfinePath(RootFolder, WithSeparator(RootFolder + folder));
  struct stat st {};
  const bool found = b.accepted && stat(b.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  const std::string base = found ? WithSeparator(b.path) : RootFolder;
  const std::string rel = base.size() > RootFolder.size() ? base.substr(RootFolder.size()) : "";

  std::shared_ptr<void> makersStart;
  GalleryHtml page(8000);
  page.Head("Search");
  Header(page, rel, searchText.empty() ? std::string("Search") : "Search: " + searchText,
         searchText);
  if (!searchText.empty() && found) {
    TFindFile finder;
    finder.FileAttr = ffaArchive;
    finder.InSubFolders = true;
    finder.SetPath(base);
    finder.FileMask = "*" + searchText + "*.*";
    const std::vector<std::string>& results = finder.FindFiles();
    std::vector<std::string> pictures;
    for (const std::string& r : results) {
      if (pictures.size() < kSearchThumbs && IsPictureName(r)) pictures.push_back(r);
    }
    std::vector<std::string> thumbs;
    if (!pictures.empty()) thumbs = ThumbNames(pictures, makersStart);
    page.Raw("<p class=\"count\" role=\"status\">")
        .Number(results.size())
        .Raw(results.size() == 1 ? " file found" : " files found")
        .Raw("</p>\n");
    Tools(page);
    page.Raw("<ul class=\"grid\" id=\"entries\" aria-label=\"Files found\">\n");
    TCard card;
    size_t picture = 0;
    for (const std::string& r : results) {
      if (r.size() <= RootFolder.size()) continue;
      card.rel = r.substr(RootFolder.size());
      card.shown = card.rel;
      TFolderEntry entry;
      entry.name = r;
      card.size = 0;
      card.mtime = 0;
      if (StatFolderEntry("", entry)) {
        card.size = entry.size;
        card.mtime = entry.mtime;
      }
      card.thumb.clear();
      if (picture < pictures.size() && pictures[picture] == r) {
        if (picture < thumbs.size()) card.thumb = FileNamePart(thumbs[picture]);
        ++picture;
      }
      Card(page, card);
    }
    page.Raw("</ul>\n");
  } else if (!searchText.empty()) {
    page.Raw("<p class=\"count\" role=\"status\">0 files found</p>\n");
  }
  Foot(page);
  THttpResponse response = HtmlResponse(std::move(page.Text()), 200);
  response.HeldWhileSending = std::move(makersStart);
  return response;
}
