# Runs the command-line program as CI and scripts do and checks its output:
#   cmake -DPROGRAM=<vantor> [-DEMULATOR=<runner>] -DCASE=<case>
#         -P check_cli.cmake
# Cases: sim_list_json (`vantor --sim list --json`), sim_mode_wait
# (`vantor --sim mode usb --wait 5`: the simulated machine re-plugs its
# token), sim_card (a card command on the virtual token, which comes with a
# root directory), sim_put_stdin (a file stored from standard input, also
# through the emulator), sim_file (a virtual token kept in a file: its
# kind, and files that do not replay), bash_completion (what the bash
# completion offers, where bash runs the program) and doctor (`vantor doctor` on this machine, whatever it
# finds) and stdout_full (output that cannot be written, where /dev/full
# exists).
cmake_minimum_required(VERSION 3.25)
foreach(var PROGRAM CASE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_cli: ${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGN}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE status TIMEOUT 120)
  message("$ vantor ${ARGN}\n${out}${err}(exit status ${status})")
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

# expect(<what> <condition>...): fails with "expected <what>" unless the
# condition holds.
function(expect what)
  if(NOT (${ARGN}))
    message(FATAL_ERROR "check_cli ${CASE}: expected ${what}")
  endif()
endfunction()

if(CASE STREQUAL "sim_list_json")
  run(--sim list --json)
  expect("exit status 0" status EQUAL 0)
  string(JSON count LENGTH "${out}" tokens)
  expect("one token" count EQUAL 1)
  foreach(pair "mode;HID" "version;2.3.0" "deviceId;0102030405060708"
               "atr;3BDF000000560230000000000102030405060708")
    list(GET pair 0 key)
    list(GET pair 1 value)
    string(JSON got GET "${out}" tokens 0 ${key})
    expect("${key} ${value}, not ${got}" got STREQUAL value)
  endforeach()
  string(JSON entry GET "${out}" tokens 0 entry)
  expect("entry 0" entry EQUAL 0)
elseif(CASE STREQUAL "sim_mode_wait")
  run(--sim mode usb --wait 5)
  expect("exit status 0" status EQUAL 0)
  expect("the token back in USB mode"
         out MATCHES "The token 0102030405060708 is back in USB mode")
  expect("the request to re-plug"
         err MATCHES "Unplug the token and plug it in again \\(waiting up to 5 s\\)")
  expect("the token seen leaving" err MATCHES "The token is unplugged")
elseif(CASE STREQUAL "sim_card")
  run(--sim --json mkdir 1A2B --size 200)
  expect("exit status 0" status EQUAL 0)
  string(JSON kind GET "${out}" kind)
  expect("a subdirectory, not ${kind}" kind STREQUAL "subdirectory")
  run(--sim mkdir root)
  expect("exit status 1: the root exists" status EQUAL 1)
  expect("the card's refusal" err MATCHES "0x00006A89 \\(card status 6A89")
elseif(CASE STREQUAL "sim_put_stdin")
  set(input "${CMAKE_CURRENT_BINARY_DIR}/check_cli_input.txt")
  file(WRITE "${input}" "hello")
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} --sim put 0101 -
                  INPUT_FILE "${input}" OUTPUT_VARIABLE out
                  ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 120)
  message("$ vantor --sim put 0101 - < input\n${out}${err}(exit status "
          "${status})")
  expect("exit status 0" status EQUAL 0)
  expect("the five bytes written"
         out MATCHES "Created file 0101 of 5 bytes[;] wrote 5 bytes")
elseif(CASE STREQUAL "sim_file")
  set(token "${CMAKE_CURRENT_BINARY_DIR}/check_cli_token.sim")
  file(REMOVE "${token}")
  run(--sim=${token} --sim-version 2.1.0 --sim-device-type 1 mkdir \\)
  expect("exit status 0" status EQUAL 0)
  run(--sim=${token} --json info)
  string(JSON version GET "${out}" version)
  string(JSON type GET "${out}" deviceType)
  expect("version 2.1.0, not ${version}" version STREQUAL "2.1.0")
  expect("device type 1, not ${type}" type EQUAL 1)
  run(--sim=${token} --sim-version 2.3.0 list)
  expect("exit status 2" status EQUAL 2)
  expect("the kind kept" err MATCHES "holds a token of its own version")
  # A run recorded with another ending than its replay gives.
  file(APPEND "${token}" "run 1 - 6C697374\n")
  run(--sim=${token} list)
  expect("exit status 1" status EQUAL 1)
  expect("the run named" err MATCHES
         "does not replay: run 2 \\(vantor list\\) ended with 0, not 1")
  file(WRITE "${token}" "hello\n")
  run(--sim=${token} list)
  expect("exit status 1" status EQUAL 1)
  expect("the file refused" err MATCHES "not a virtual token's file")
elseif(CASE STREQUAL "bash_completion")
  find_program(BASH bash)
  if(NOT BASH OR EMULATOR)
    message("check_cli: no bash here; nothing to check")
    return()
  endif()
  run(--bash-completion)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/check_cli_completion.bash")
  file(WRITE "${script}" "${out}")
  # Each pair: the words typed (the last one being completed), the offer.
  foreach(pair "vantor pu|put" "vantor put 0101 --ty|--type"
               "vantor put --type rsa-pu|rsa-public" "vantor mode u|usb"
               "vantor pin verify u|user" "vantor list --j|--json"
               "vantor list -|--json --sim --help")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 typed)
    list(GET pair 1 offer)
    execute_process(
      COMMAND ${BASH} -c "source \"$0\"; COMP_WORDS=($1 ''); \
COMP_WORDS=(\"\${COMP_WORDS[@]:0:\${#COMP_WORDS[@]}-1}\"); \
COMP_CWORD=$((\${#COMP_WORDS[@]}-1)); _vantor; echo \"\${COMPREPLY[*]}\""
              "${script}" "${typed}"
      OUTPUT_VARIABLE got OUTPUT_STRIP_TRAILING_WHITESPACE)
    expect("'${offer}' for '${typed}', not '${got}'" got STREQUAL offer)
  endforeach()
elseif(CASE STREQUAL "stdout_full")
  if(NOT EXISTS /dev/full OR EMULATOR)
    message("check_cli: no /dev/full here; nothing to check")
    return()
  endif()
  execute_process(COMMAND ${PROGRAM} --sim list OUTPUT_FILE /dev/full
                  ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 120)
  message("$ vantor --sim list > /dev/full\n${err}(exit status ${status})")
  expect("exit status 1" status EQUAL 1)
  expect("the reason" err MATCHES
         "^vantor: cannot write standard output: No space left on device\n$")
elseif(CASE STREQUAL "doctor")
  run(doctor)
  expect("exit status 0 or 1" status MATCHES "^[01]$")
  if(WIN32 OR PROGRAM MATCHES "\\.exe$")
    set(names "HID tokens" "driver tokens" "library")
    set(machine Windows)
  else()
    set(names hidraw "udev rule" library)
    set(machine Linux)
  endif()
  expect("the header" out MATCHES "^Checks on this machine \\(${machine}\\):")
  foreach(name IN LISTS names)
    expect("a ${name} line" out MATCHES "\n  (ok   |warn |FAIL ) ${name}: ")
  endforeach()
  if(out MATCHES "\n  FAIL ")
    expect("exit status 1 with a failed check" status EQUAL 1)
    expect("the verdict" out MATCHES "Something stands between you and a token")
  else()
    expect("exit status 0 without a failed check" status EQUAL 0)
  endif()
  run(doctor --json)
  string(JSON machine_got GET "${out}" machine)
  expect("machine ${machine}" machine_got STREQUAL machine)
  string(JSON checks LENGTH "${out}" checks)
  expect("three checks or more" checks GREATER_EQUAL 3)
else()
  message(FATAL_ERROR "check_cli: unknown case ${CASE}")
endif()
