# fscanf over stdin and over a file in the test's root.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/roots/scanf_test/words.txt" "  12 34\n\r\tabc 0x1f\n")

string(REPEAT "a" 300 scanf_long_word)
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/scanf_stdin.txt"
     "  12 34\nhello\tworld\r\n${scanf_long_word} 7x\nlast")
tavik_target_test(scanf_stdin_test SOURCES scanf_stdin.cpp STDIN "${CMAKE_CURRENT_BINARY_DIR}/scanf_stdin.txt")

