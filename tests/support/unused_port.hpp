#pragma once
// A TCP port on 127.0.0.1 that nothing listens on, for tests that need a refused connection.

namespace vesk::testing {

// Bound and released again at once: free when it returns, though another process may take it.
int unused_port();

}  // namespace vesk::testing
