// Addresses and identifiers written into every page: the advert account and
// script, and the maker's download page. No real ones exist, so they live
// under the reserved .example domain.
#pragma once

namespace mirelo::site {

// Advertising account identifier: "pub-" followed by 16 digits.
inline constexpr const char kAdvertPublisher[] = "pub-0000000000000000";
// Advertising channel number: 10 digits.
inline constexpr const char kAdvertChannel[] = "0000000000";
// Full address of the advertising network's display script.
inline constexpr const char kAdvertScript[] = "http://pagead.ads.example/pagead/show_ads.js";
// The maker's download forum page.
inline constexpr const char kDownloadPage[] = "http://www.mirelo.example/forum/viewforum.php?f=26";
// The maker's web site.
inline constexpr const char kMakerSite[] = "http://www.mirelo.example/";

}  // namespace mirelo::site
