// The UI toolkit is main thread only, as on the platform. The main thread is
// the first thread that touches the toolkit (a UI process's main run loop
// thread); debug builds stop the process when another thread calls in.
#pragma once

namespace sentrel::uikit {

#ifdef NDEBUG
#define SENTREL_UIKIT_ASSERT_MAIN_THREAD() ((void)0)
#else
#define SENTREL_UIKIT_ASSERT_MAIN_THREAD() ::sentrel::uikit::assertMainThread(__FILE__, __LINE__)
#endif

void assertMainThread(const char* file, int line);

}  // namespace sentrel::uikit
