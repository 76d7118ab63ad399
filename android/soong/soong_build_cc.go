// soong_build as a platform tree builds it links in every module package;
// this check needs the C/C++ module types (cc_binary, cc_test, cc_fuzz, ...)
// and prebuilt_etc on top of the core ones (filegroup, defaults).
package main

import (
	_ "android/soong/cc"
	_ "android/soong/etc"
)
