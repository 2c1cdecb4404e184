# Guest programs that the hardening suites of tests/host run (tests/host/atomic_test.cpp).
add_executable(unclosed_write unclosed_write.cpp)
tavik_link_image(unclosed_write)
