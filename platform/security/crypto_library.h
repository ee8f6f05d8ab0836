// The process's one set-up of OpenSSL, which digests, random bytes, TLS and libcurl all share.
// OpenSSL left to set itself up registers a clean-up with atexit that frees its tables while the
// process exits, and a worker still hashing, drawing random bytes or speaking TLS then uses freed
// memory. Set up here first, it registers none: the library stays whole until the process is gone.
#pragma once

namespace platform::CryptoLibrary {

// Sets OpenSSL up once; later calls return at once. Every entry point that may be the first use of
// OpenSSL or libcurl calls it before anything else touches them.
void initialize();

}  // namespace platform::CryptoLibrary
