# The checker passes our INF and fails each copy that carries one fault a hand edit could bring.
cmake_minimum_required(VERSION 3.25)
# file(READ) hands the text over with bare line feeds.
file(READ ${INF} original)

# Runs the checker on `text` in a package with lorvusb.sys unless `without_driver`; returns its
# exit status and output.
function(check text without_driver result output)
    file(REMOVE_RECURSE ${WORK})
    file(MAKE_DIRECTORY ${WORK})
    file(WRITE ${WORK}/lorvusb.inf "${text}")
    if(NOT without_driver)
        file(WRITE ${WORK}/lorvusb.sys "")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -DINF=${WORK}/lorvusb.inf -DPACKAGE=${WORK} "-DARCHES=NTx86;NTamd64"
                            -DSERVICE=lorvusb -P ${CHECKER}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    set(${result} ${status} PARENT_SCOPE)
    set(${output} "${out}${err}" PARENT_SCOPE)
endfunction()

check("${original}" OFF status out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the checker refuses the project's INF:\n${out}")
endif()

# Each case: the text to replace (first occurrence), its replacement, and the checker's words.
set(cases
    "NTx86, NTamd64|NTx86|does not offer NTamd64"
    "[Lorv.NTamd64]|[Lorv.NTAMD64x]|missing section [Lorv.NTamd64]"
    "USB\\VID_4C56&PID_0720\n|\n|list different hardware IDs"
    "USB\\VID_047E&PID_1001|USB\\VID_47E&PID_1001|is not a USB hardware ID"
    "StartType     = 3|StartType     = 2|starttype is '2'"
    "ServiceType   = 1|ServiceType   = 2|servicetype is '2'"
    "%ServiceName%|%ServiceTitle%|%servicetitle% is not defined"
    "lorvusb.sys = 1|lorvcap.dll = 1|not listed in [SourceDisksFiles]"
    "AddService = lorvusb,|AddService = usbprint,|no AddService names the service lorvusb"
    "[Lorvusb_CopyFiles]|[Lorvusb_Install.NT]|appears twice"
    "DriverVer   = 12/07/2026,1.0.0.0|DriverVer   = 2026-12-07|is not MM/DD/YYYY"
)
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 from)
    list(GET parts 1 to)
    list(GET parts 2 expected)
    string(FIND "${original}" "${from}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the INF no longer holds '${from}'; update this case")
    endif()
    string(LENGTH "${from}" length)
    string(SUBSTRING "${original}" 0 ${at} head)
    math(EXPR tail_at "${at} + ${length}")
    string(SUBSTRING "${original}" ${tail_at} -1 tail)
    check("${head}${to}${tail}" OFF status out)
    string(FIND "${out}" "${expected}" found)
    if(status EQUAL 0 OR found EQUAL -1)
        message(FATAL_ERROR "replacing '${from}' with '${to}': wanted a failure naming '${expected}', got ${status}:\n${out}")
    endif()
endforeach()

check("${original}" ON status out)
string(FIND "${out}" "lorvusb.sys is copied but not in the package" found)
if(status EQUAL 0 OR found EQUAL -1)
    message(FATAL_ERROR "a package without lorvusb.sys passed:\n${out}")
endif()
message(STATUS "the checker passes the INF and catches every broken copy")
