# Copies the browser tests' script and package files into DIR and installs the pinned npm packages
# there with `npm ci`, again only when the lock file changed:
#   cmake -DNPM=npm -DSOURCE=Tests/Browser -DDIR=build/.../npm -P NpmInstall.cmake
cmake_minimum_required(VERSION 3.25)
file(COPY "${SOURCE}/package.json" "${SOURCE}/package-lock.json" "${SOURCE}/preview-test.mjs" DESTINATION "${DIR}")
file(SHA256 "${SOURCE}/package-lock.json" lock)
set(stamp "${DIR}/node_modules/.installed-lock-sha256")
set(installed "")
if(EXISTS "${stamp}")
  file(READ "${stamp}" installed)
endif()
if(NOT installed STREQUAL lock)
  execute_process(COMMAND "${NPM}" ci --no-audit --no-fund --prefix "${DIR}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "npm ci failed in ${DIR}")
  endif()
  file(WRITE "${stamp}" "${lock}")
endif()
