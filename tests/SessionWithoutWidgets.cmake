# Fails when a file of the session core (FOLDERS, a ;-list) includes widgets, the GUI
# application, screens, a Designer form or code of the window's own folders.
if(NOT FOLDERS)
  message(FATAL_ERROR "FOLDERS not given")
endif()
set(forbidden
    "<QWidget>" "<QApplication>" "<QGuiApplication>" "<QMessageBox>" "<QScreen>"
    "<QtWidgets/" "<QtGui/" "\"ui_" "<ui_" "\"ui/" "\"main/" "\"dialogs/" "\"console/"
    "\"history/" "\"remote/" "\"texts/")
set(found "")
foreach(folder IN LISTS FOLDERS)
  file(GLOB files ${folder}/*.cpp ${folder}/*.h)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS includes)
      foreach(pattern IN LISTS forbidden)
        string(FIND "${line}" "${pattern}" at)
        if(NOT at EQUAL -1)
          string(APPEND found "\n  ${file}: ${line}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "The session core must not include widgets or GUI code:${found}")
endif()
list(LENGTH FOLDERS count)
message(STATUS "The session core's ${count} folders include no widgets.")
