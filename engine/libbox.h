/* The engine's C contract: the eight entry points libbox.so exports, and nothing else.
 *
 * Calling order: setup_libbox once, then per connection create_service, start_service and
 * stop_service. Calls are serialised inside the engine; any thread may make them.
 *
 * Results: 0 is success; -1 is a failure whose text get_last_error returns (the same text
 * however often it is asked, until the next setup, create or start).
 *
 * get_status: 0 no service; 1 a service is created (its TUN interface and listening sockets are
 * held, nothing is served yet; also after a failed start, until stop_service releases it);
 * 2 the service runs.
 *
 * Strings returned by get_version and get_last_error are heap copies owned by the caller, who
 * hands each back through free_string.
 */
#ifndef ENGINE_LIBBOX_H_
#define ENGINE_LIBBOX_H_

#ifdef __cplusplus
extern "C" {
#endif

/* Records the three directories; 0 when ready. The working path must be absolute: a relative
 * log.output is opened there. */
int setup_libbox(const char* base_path, const char* working_path, const char* temp_path);
/* "sing-box <version>". */
const char* get_version(void);
/* Checks the JSON configuration and acquires the service's resources. */
int create_service(const char* config_json);
/* Opens the log and starts serving. */
int start_service(void);
/* Stops serving and releases everything; 0 also when no service exists. */
int stop_service(void);
int get_status(void);
/* The last failure's text, or null when the last call succeeded. */
const char* get_last_error(void);
void free_string(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* ENGINE_LIBBOX_H_ */
