# Included by CTest after the discovered tests: the suites that decode every recording of the
# trained test model take seconds in a release build and minutes under the sanitizers, whose run
# leaves out the label "slow". The decoding code they reach runs under the sanitizers in the
# other suites.
foreach(test IN LISTS RararozUvuTests_TESTS)
  if(test MATCHES "^(Facade)?SyntheticSpeech\\.")
    set_tests_properties("${test}" PROPERTIES LABELS "RararozUvu;slow")
  endif()
endforeach()
