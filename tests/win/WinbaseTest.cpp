// The handle owners' contract, on objects of this process.
#include <gtest/gtest.h>

#include "winbase/Handles.h"

TEST(Handles, NothingIsTheKindsOwnValuePutClosesFirstAndResetKeepsTheLastError) {
  // A file call that fails returns INVALID_HANDLE_VALUE, not null.
  EXPECT_FALSE(handles::UniqueFile(CreateFileA("C:\\no such file", GENERIC_READ, 0, nullptr,
                                               OPEN_EXISTING, 0, nullptr)));
  handles::UniqueKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const HANDLE held = event.get();
  EXPECT_EQ(*event.put(), nullptr);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(held, &flags)) << "still open after put()";
  // A close that fails leaves the error the caller is about to read.
  handles::UniqueWindow gone(
      CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(DestroyWindow(gone.get()));
  SetLastError(ERROR_PATH_NOT_FOUND);
  gone.reset();
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}
