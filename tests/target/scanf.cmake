# fscanf over stdin and over a file in the test's root.
foreach(run IN ITEMS scanf_test memcheck.scanf_test sanitized.scanf_test)
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/roots/${run}/words.txt" "  12 34\n\r\tabc 0x1f\n")
endforeach()

string(REPEAT "a" 300 scanf_long_word)
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/scanf_stdin.txt"
     "  12 34\nhello\tworld\r\n${scanf_long_word} 7x\nlast")
tavik_target_test(scanf_stdin_test SOURCES scanf_stdin.cpp STDIN "${CMAKE_CURRENT_BINARY_DIR}/scanf_stdin.txt")

