# The documentation's probe answers known requests with the model's values
# (the worked rows of the model: the permittivity at 4.74 GHz, 28 degrees
# Celsius, 36 psu is 66.91 - 35.53i; the README's scene gives 118.98 ...
# 126.35 K; the budget at 150 m/s has an emissivity of 1.07394), and refuses
# a malformed request with its line number and status 2.
#   cmake -DPROBE=... -DREQUESTS=... -DANSWERS=... -P probe_check.cmake
execute_process(COMMAND ${PROBE} INPUT_FILE ${REQUESTS} OUTPUT_VARIABLE answers
                RESULT_VARIABLE status)
file(READ ${ANSWERS} expected)
if(NOT status EQUAL 0 OR NOT answers STREQUAL expected)
  message(FATAL_ERROR "nerido_model_probe: status ${status}; answers\n${answers}\nexpected\n${expected}")
endif()

get_filename_component(data ${REQUESTS} DIRECTORY)
execute_process(COMMAND ${PROBE} INPUT_FILE ${data}/probe_malformed.txt
                OUTPUT_VARIABLE answers ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 2 OR NOT errors MATCHES "line 2: cannot read 'budget 4.74 293 3000'")
  message(FATAL_ERROR "nerido_model_probe on a malformed line: status ${status}, '${errors}'")
endif()
