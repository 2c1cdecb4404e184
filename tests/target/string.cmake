# The heap's test again in a fresh process, where one block fills the whole arena.
tavik_target_test(heap_whole_test SOURCES heap_test.cpp ARGS whole)
