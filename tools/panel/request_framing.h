// Where one HTTP/1.x request ends, found before the HTTP library sees any of
// it: the connection guard reads a request whole (head and body, with or
// without chunked framing) within fixed limits of size, and only a complete
// request reaches a worker. Strict where the HTTP library is lenient, so that
// both read the same request boundaries:
//  - every line ends with CRLF; a bare LF, or a folded header line, is refused;
//  - a body has a Content-Length (one, digits only) or is chunked (hex sizes,
//    optional extensions, no trailers), never both; a request with neither
//    has no body;
//  - Content-Encoding (other than identity) and Expect are refused: the page
//    sends neither, and a compressed body could grow past every limit.
//
//   RequestFramer framer(limits);
//   switch (framer.scan(buffer.data(), buffer.size())) { ... }
//
// scan() is resumable: call it again with the same bytes and more appended.
#pragma once

#include <cstddef>
#include <string>

namespace qpanel {

struct FramingLimits {
  size_t headBytes = 16 * 1024;  // request line and headers
  size_t bodyBytes = 64 * 1024;  // the body as the handler sees it (chunks joined)
};

class RequestFramer {
 public:
  enum class Result { NeedMore, Complete, Refused };

  explicit RequestFramer(FramingLimits limits = {});

  // Looks at the bytes of one request received so far, from its first byte.
  Result scan(const char* data, size_t size);
  // Forgets the request: the next scan() starts a new one.
  void reset();

  // After Complete: the length of the whole request (head and body).
  size_t requestBytes() const { return requestBytes_; }
  // Once the head is complete (also after a refusal of its body).
  const std::string& method() const { return method_; }
  const std::string& path() const { return path_; }  // the target without its query
  // The page's token: the X-Panel-Token header, else the query's token=.
  const std::string& token() const { return token_; }
  bool headComplete() const { return phase_ != Phase::Head; }

  // After Refused: the HTTP status and why.
  int refusalStatus() const { return refusalStatus_; }
  const std::string& refusalMessage() const { return refusalMessage_; }

 private:
  enum class Phase { Head, LengthBody, ChunkSize, ChunkData, ChunkDataEnd, LastChunkEnd, Done };

  Result refuse(int status, const char* message);
  Result parseHead(const char* data, size_t headEnd);
  Result scanChunks(const char* data, size_t size);

  FramingLimits limits_;
  Phase phase_ = Phase::Head;
  size_t scanned_ = 0;  // bytes looked at so far
  size_t bodyStart_ = 0;
  size_t contentLength_ = 0;
  size_t chunkLeft_ = 0;    // bytes of the current chunk still to come
  size_t bodyDecoded_ = 0;  // chunk bytes so far
  size_t requestBytes_ = 0;
  std::string method_, path_, token_;
  int refusalStatus_ = 0;
  std::string refusalMessage_;
};

}  // namespace qpanel
