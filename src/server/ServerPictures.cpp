// The picture route and the listing's thumbnails: what the router needs from
// the image loader and the thumbnail cache.
#include "server/ServerActions.h"

#include <memory>
#include <system_error>

#include "base/FileUtil.h"
#include "imaging/CacheKeeper.h"
#include "imaging/OrvelGraphicLoader.h"
#include "server/RequestText.h"

bool IsPictureName(const std::string& name) { return IsSupportedPicture(name); }

bool TServerActions::SendPicture(const std::string& base, const std::string& name,
                                 THttpResponse& response, bool found) {
  const TConfined c = ConfinePath(base, base + name);
  JpegImage image;
  std::string error;  // a picture that loads to nothing gives an empty body
  // Only a regular file is a picture; anything else gets the not-found one.
  if (!found || !c.accepted || !LoadAsJpegIfPresent(c.path, image, error)) {
    LoadAsJpeg(SystemFolder + "not found.jpg", image, error);
  }
  response = THttpResponse::Raw(image.Empty() ? std::string() : image.ReleaseBytes());
  response.Headers.emplace_back("Content-type: image/jpeg");
  response.Headers.emplace_back("Content-Length: " + std::to_string(response.Body.size()));
  response.Headers.emplace_back("Content-Disposition: attachment; filename=\"" +
                                HeaderQuoted(name) + "\";");
  return !response.Body.empty();
}

std::string TServerActions::CacheFolder() const {
  return Cache ? Cache->CacheFolder : std::string();
}

namespace {

// Starts the thumbnail makers when it goes.
class TMakersStart {
 public:
  explicit TMakersStart(TCacheObj& cache) : cache_(cache) {}
  TMakersStart(const TMakersStart&) = delete;
  TMakersStart& operator=(const TMakersStart&) = delete;
  ~TMakersStart() {
    try {
      cache_.StartMakers();
    } catch (const std::system_error&) {
      // Not started now: an awaited thumbnail is still made, and starts them.
    }
  }

 private:
  TCacheObj& cache_;
};

}  // namespace

std::vector<std::string> TServerActions::ThumbNames(const std::vector<std::string>& pictures,
                                                    const std::vector<struct timespec>& times,
                                                    std::shared_ptr<void>& makersStart) {
  if (!Cache) return std::vector<std::string>(pictures.size());
  makersStart = std::make_shared<TMakersStart>(*Cache);
  return Cache->ReserveThumbsOfFiles(pictures, times, false);
}

std::vector<std::string> TServerActions::ThumbNames(const std::vector<std::string>& pictures,
                                                    std::shared_ptr<void>& makersStart) {
  if (!Cache) return std::vector<std::string>(pictures.size());
  makersStart = std::make_shared<TMakersStart>(*Cache);
  return Cache->ReserveThumbs(pictures, false);
}

bool TServerActions::SendThumb(const std::string& name, THttpResponse& response) {
  // A thumbnail still queued is made now; one that is not ready in time, or
  // could not be made, answers with the not-found picture.
  const bool ready = !Cache || Cache->AwaitThumb(name, ThumbWaitMs);
  return SendPicture(CacheFolder(), name, response, ready);
}
