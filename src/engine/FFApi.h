#pragma once
// The media-library functions the engine calls, one table per library.
//
// The engine never links FFmpeg: TFFLoader (FFLoad.h) opens the libraries at
// run time and fills these tables with dlsym. Code calls FFmpeg only through
// them, e.g. ff::avcodec.avcodec_open2(ctx, codec, &opts). A function that is
// not listed here cannot be called (the executable does not link FFmpeg), so
// adding a call means adding its name to the list of its library below.
//
// Each list takes two macros: REQ(name) for functions that must resolve (the
// library fails to load without them) and OPT(name) for ones that may be
// missing (the pointer then stays null and callers must check it).
// Only real exported functions belong here, not inline helpers such as
// av_q2d or av_make_q, which come straight from the headers.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/fifo.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define VM_AVCODEC_FUNCS(REQ, OPT)                                                                 \
  REQ(avcodec_version)                                                                             \
  REQ(avcodec_alloc_context3)                                                                      \
  REQ(avcodec_free_context)                                                                        \
  REQ(avcodec_open2)                                                                               \
  REQ(avcodec_close)                                                                               \
  REQ(avcodec_find_decoder)                                                                        \
  REQ(avcodec_find_decoder_by_name)                                                                \
  REQ(avcodec_find_encoder)                                                                        \
  REQ(avcodec_find_encoder_by_name)                                                                \
  REQ(avcodec_send_packet)                                                                         \
  REQ(avcodec_receive_frame)                                                                       \
  REQ(avcodec_send_frame)                                                                          \
  REQ(avcodec_receive_packet)                                                                      \
  REQ(avcodec_flush_buffers)                                                                       \
  REQ(avcodec_decode_subtitle2)                                                                    \
  REQ(avcodec_encode_subtitle)                                                                     \
  REQ(avsubtitle_free)                                                                             \
  REQ(avcodec_parameters_alloc)                                                                    \
  REQ(avcodec_parameters_free)                                                                     \
  REQ(avcodec_parameters_copy)                                                                     \
  REQ(avcodec_parameters_to_context)                                                               \
  REQ(avcodec_parameters_from_context)                                                             \
  REQ(avcodec_get_name)                                                                            \
  REQ(avcodec_get_class)                                                                           \
  REQ(avcodec_get_type)                                                                            \
  REQ(avcodec_descriptor_get)                                                                      \
  REQ(avcodec_descriptor_get_by_name)                                                              \
  REQ(avcodec_string)                                                                              \
  REQ(avcodec_align_dimensions2)                                                                   \
  REQ(avcodec_find_best_pix_fmt_of_list)                                                           \
  REQ(avcodec_profile_name)                                                                        \
  REQ(av_get_profile_name)                                                                         \
  REQ(av_codec_iterate)                                                                            \
  REQ(av_codec_is_encoder)                                                                         \
  REQ(av_codec_is_decoder)                                                                         \
  REQ(av_get_bits_per_sample)                                                                      \
  REQ(av_get_exact_bits_per_sample)                                                                \
  REQ(av_get_audio_frame_duration2)                                                                \
  REQ(av_packet_alloc)                                                                             \
  REQ(av_packet_free)                                                                              \
  REQ(av_packet_ref)                                                                               \
  REQ(av_packet_unref)                                                                             \
  REQ(av_packet_clone)                                                                             \
  REQ(av_packet_move_ref)                                                                          \
  REQ(av_packet_rescale_ts)                                                                        \
  REQ(av_packet_make_writable)                                                                     \
  REQ(av_packet_get_side_data)                                                                     \
  REQ(av_new_packet)                                                                               \
  REQ(av_grow_packet)                                                                              \
  REQ(av_shrink_packet)                                                                            \
  REQ(av_bsf_get_by_name)                                                                          \
  REQ(av_bsf_alloc)                                                                                \
  REQ(av_bsf_init)                                                                                 \
  REQ(av_bsf_send_packet)                                                                          \
  REQ(av_bsf_receive_packet)                                                                       \
  REQ(av_bsf_flush)                                                                                \
  REQ(av_bsf_free)                                                                                 \
  REQ(av_bsf_get_class)                                                                            \
  REQ(av_parser_init)                                                                              \
  REQ(av_parser_parse2)                                                                            \
  REQ(av_parser_close)

// libswresample stands where the 2011 "avcore" library stood.
#define VM_SWRESAMPLE_FUNCS(REQ, OPT)                                                              \
  REQ(swresample_version)                                                                          \
  REQ(swr_alloc)                                                                                   \
  REQ(swr_alloc_set_opts2)                                                                         \
  REQ(swr_init)                                                                                    \
  REQ(swr_is_initialized)                                                                          \
  REQ(swr_close)                                                                                   \
  REQ(swr_free)                                                                                    \
  REQ(swr_convert)                                                                                 \
  REQ(swr_convert_frame)                                                                           \
  REQ(swr_set_compensation)                                                                        \
  REQ(swr_get_delay)                                                                               \
  REQ(swr_get_out_samples)                                                                         \
  REQ(swr_get_class)

#define VM_AVDEVICE_FUNCS(REQ, OPT)                                                                \
  REQ(avdevice_version)                                                                            \
  REQ(avdevice_register_all)

#define VM_AVFILTER_FUNCS(REQ, OPT)                                                                \
  REQ(avfilter_version)                                                                            \
  REQ(avfilter_get_by_name)                                                                        \
  REQ(avfilter_get_class)                                                                          \
  REQ(avfilter_graph_alloc)                                                                        \
  REQ(avfilter_graph_free)                                                                         \
  REQ(avfilter_graph_alloc_filter)                                                                 \
  REQ(avfilter_graph_create_filter)                                                                \
  REQ(avfilter_graph_parse_ptr)                                                                    \
  REQ(avfilter_graph_config)                                                                       \
  REQ(avfilter_graph_request_oldest)                                                               \
  REQ(avfilter_graph_send_command)                                                                 \
  REQ(avfilter_graph_dump)                                                                         \
  REQ(avfilter_init_str)                                                                           \
  REQ(avfilter_init_dict)                                                                          \
  REQ(avfilter_link)                                                                               \
  REQ(avfilter_inout_alloc)                                                                        \
  REQ(avfilter_inout_free)                                                                         \
  REQ(av_buffersrc_add_frame_flags)                                                                \
  REQ(av_buffersrc_write_frame)                                                                    \
  REQ(av_buffersrc_close)                                                                          \
  REQ(av_buffersrc_parameters_alloc)                                                               \
  REQ(av_buffersrc_parameters_set)                                                                 \
  REQ(av_buffersrc_get_nb_failed_requests)                                                         \
  REQ(av_buffersink_get_frame)                                                                     \
  REQ(av_buffersink_get_frame_flags)                                                               \
  REQ(av_buffersink_get_samples)                                                                   \
  REQ(av_buffersink_set_frame_size)                                                                \
  REQ(av_buffersink_get_type)                                                                      \
  REQ(av_buffersink_get_time_base)                                                                 \
  REQ(av_buffersink_get_format)                                                                    \
  REQ(av_buffersink_get_frame_rate)                                                                \
  REQ(av_buffersink_get_w)                                                                         \
  REQ(av_buffersink_get_h)                                                                         \
  REQ(av_buffersink_get_sample_aspect_ratio)                                                       \
  REQ(av_buffersink_get_sample_rate)                                                               \
  REQ(av_buffersink_get_ch_layout)

#define VM_AVFORMAT_FUNCS(REQ, OPT)                                                                \
  REQ(avformat_version)                                                                            \
  REQ(avformat_alloc_context)                                                                      \
  REQ(avformat_free_context)                                                                       \
  REQ(avformat_get_class)                                                                          \
  REQ(avformat_open_input)                                                                         \
  REQ(avformat_close_input)                                                                        \
  REQ(avformat_find_stream_info)                                                                   \
  REQ(avformat_match_stream_specifier)                                                             \
  REQ(avformat_query_codec)                                                                        \
  REQ(avformat_alloc_output_context2)                                                              \
  REQ(avformat_new_stream)                                                                         \
  REQ(avformat_init_output)                                                                        \
  REQ(avformat_write_header)                                                                       \
  REQ(avformat_seek_file)                                                                          \
  REQ(avformat_flush)                                                                              \
  REQ(avformat_network_init)                                                                       \
  REQ(avformat_network_deinit)                                                                     \
  REQ(av_find_best_stream)                                                                         \
  REQ(av_find_program_from_stream)                                                                 \
  REQ(av_new_program)                                                                              \
  REQ(av_read_frame)                                                                               \
  REQ(av_read_pause)                                                                               \
  REQ(av_read_play)                                                                                \
  REQ(av_seek_frame)                                                                               \
  REQ(av_find_input_format)                                                                        \
  REQ(av_guess_format)                                                                             \
  REQ(av_guess_codec)                                                                              \
  REQ(av_guess_frame_rate)                                                                         \
  REQ(av_guess_sample_aspect_ratio)                                                                \
  REQ(av_demuxer_iterate)                                                                          \
  REQ(av_muxer_iterate)                                                                            \
  REQ(av_codec_get_id)                                                                             \
  REQ(av_codec_get_tag)                                                                            \
  REQ(av_interleaved_write_frame)                                                                  \
  REQ(av_write_frame)                                                                              \
  REQ(av_write_trailer)                                                                            \
  REQ(av_dump_format)                                                                              \
  REQ(av_filename_number_test)                                                                     \
  REQ(av_sdp_create)                                                                               \
  REQ(av_stream_get_side_data)                                                                     \
  REQ(avio_open2)                                                                                  \
  REQ(avio_closep)                                                                                 \
  REQ(avio_alloc_context)                                                                          \
  REQ(avio_context_free)                                                                           \
  REQ(avio_size)                                                                                   \
  REQ(avio_seek)                                                                                   \
  REQ(avio_feof)                                                                                   \
  REQ(avio_flush)                                                                                  \
  REQ(avio_write)                                                                                  \
  REQ(avio_read)                                                                                   \
  REQ(avio_check)

#define VM_AVUTIL_FUNCS(REQ, OPT)                                                                  \
  REQ(avutil_version)                                                                              \
  REQ(av_version_info)                                                                             \
  REQ(av_log)                                                                                      \
  REQ(av_vlog)                                                                                     \
  REQ(av_log_default_callback)                                                                     \
  REQ(av_log_get_level)                                                                            \
  REQ(av_log_set_level)                                                                            \
  REQ(av_log_set_callback)                                                                         \
  REQ(av_log_set_flags)                                                                            \
  REQ(av_log_format_line2)                                                                         \
  REQ(av_default_item_name)                                                                        \
  REQ(av_strerror)                                                                                 \
  REQ(av_malloc)                                                                                   \
  REQ(av_mallocz)                                                                                  \
  REQ(av_realloc)                                                                                  \
  REQ(av_free)                                                                                     \
  REQ(av_freep)                                                                                    \
  REQ(av_strdup)                                                                                   \
  REQ(av_fast_malloc)                                                                              \
  REQ(av_fast_realloc)                                                                             \
  REQ(av_strlcpy)                                                                                  \
  REQ(av_strstart)                                                                                 \
  REQ(av_stristart)                                                                                \
  REQ(av_strcasecmp)                                                                               \
  REQ(av_get_token)                                                                                \
  REQ(av_dict_get)                                                                                 \
  REQ(av_dict_set)                                                                                 \
  REQ(av_dict_set_int)                                                                             \
  REQ(av_dict_copy)                                                                                \
  REQ(av_dict_count)                                                                               \
  REQ(av_dict_free)                                                                                \
  REQ(av_dict_parse_string)                                                                        \
  REQ(av_frame_alloc)                                                                              \
  REQ(av_frame_free)                                                                               \
  REQ(av_frame_ref)                                                                                \
  REQ(av_frame_unref)                                                                              \
  REQ(av_frame_move_ref)                                                                           \
  REQ(av_frame_clone)                                                                              \
  REQ(av_frame_get_buffer)                                                                         \
  REQ(av_frame_make_writable)                                                                      \
  REQ(av_frame_copy)                                                                               \
  REQ(av_frame_copy_props)                                                                         \
  REQ(av_frame_get_side_data)                                                                      \
  REQ(av_image_alloc)                                                                              \
  REQ(av_image_copy)                                                                               \
  REQ(av_image_copy_plane)                                                                         \
  REQ(av_image_fill_arrays)                                                                        \
  REQ(av_image_fill_linesizes)                                                                     \
  REQ(av_image_get_buffer_size)                                                                    \
  REQ(av_image_fill_black)                                                                         \
  REQ(av_image_check_size)                                                                         \
  REQ(av_get_pix_fmt)                                                                              \
  REQ(av_get_pix_fmt_name)                                                                         \
  REQ(av_pix_fmt_desc_get)                                                                         \
  REQ(av_get_bits_per_pixel)                                                                       \
  REQ(av_get_sample_fmt)                                                                           \
  REQ(av_get_sample_fmt_name)                                                                      \
  REQ(av_get_bytes_per_sample)                                                                     \
  REQ(av_sample_fmt_is_planar)                                                                     \
  REQ(av_get_packed_sample_fmt)                                                                    \
  REQ(av_get_planar_sample_fmt)                                                                    \
  REQ(av_samples_alloc)                                                                            \
  REQ(av_samples_get_buffer_size)                                                                  \
  REQ(av_samples_fill_arrays)                                                                      \
  REQ(av_samples_set_silence)                                                                      \
  REQ(av_samples_copy)                                                                             \
  REQ(av_channel_layout_default)                                                                   \
  REQ(av_channel_layout_from_mask)                                                                 \
  REQ(av_channel_layout_from_string)                                                               \
  REQ(av_channel_layout_copy)                                                                      \
  REQ(av_channel_layout_uninit)                                                                    \
  REQ(av_channel_layout_describe)                                                                  \
  REQ(av_channel_layout_compare)                                                                   \
  REQ(av_channel_layout_check)                                                                     \
  REQ(av_audio_fifo_alloc)                                                                         \
  REQ(av_audio_fifo_free)                                                                          \
  REQ(av_audio_fifo_realloc)                                                                       \
  REQ(av_audio_fifo_write)                                                                         \
  REQ(av_audio_fifo_read)                                                                          \
  REQ(av_audio_fifo_peek)                                                                          \
  REQ(av_audio_fifo_drain)                                                                         \
  REQ(av_audio_fifo_reset)                                                                         \
  REQ(av_audio_fifo_size)                                                                          \
  REQ(av_fifo_alloc2)                                                                              \
  REQ(av_fifo_freep2)                                                                              \
  REQ(av_fifo_write)                                                                               \
  REQ(av_fifo_read)                                                                                \
  REQ(av_fifo_can_read)                                                                            \
  REQ(av_fifo_reset2)                                                                              \
  REQ(av_rescale)                                                                                  \
  REQ(av_rescale_rnd)                                                                              \
  REQ(av_rescale_q)                                                                                \
  REQ(av_rescale_q_rnd)                                                                            \
  REQ(av_compare_ts)                                                                               \
  REQ(av_compare_mod)                                                                              \
  REQ(av_add_stable)                                                                               \
  REQ(av_reduce)                                                                                   \
  REQ(av_gcd)                                                                                      \
  REQ(av_d2q)                                                                                      \
  REQ(av_mul_q)                                                                                    \
  REQ(av_div_q)                                                                                    \
  REQ(av_add_q)                                                                                    \
  REQ(av_sub_q)                                                                                    \
  REQ(av_nearer_q)                                                                                 \
  REQ(av_find_nearest_q_idx)                                                                       \
  REQ(av_get_time_base_q)                                                                          \
  REQ(av_gettime)                                                                                  \
  REQ(av_gettime_relative)                                                                         \
  REQ(av_usleep)                                                                                   \
  REQ(av_parse_video_rate)                                                                         \
  REQ(av_parse_video_size)                                                                         \
  REQ(av_parse_time)                                                                               \
  REQ(av_parse_ratio)                                                                              \
  REQ(av_get_picture_type_char)                                                                    \
  REQ(av_get_media_type_string)                                                                    \
  REQ(av_display_rotation_get)                                                                     \
  REQ(av_cpu_count)                                                                                \
  REQ(av_opt_set)                                                                                  \
  REQ(av_opt_set_int)                                                                              \
  REQ(av_opt_set_double)                                                                           \
  REQ(av_opt_set_q)                                                                                \
  REQ(av_opt_set_bin)                                                                              \
  REQ(av_opt_set_image_size)                                                                       \
  REQ(av_opt_set_pixel_fmt)                                                                        \
  REQ(av_opt_set_sample_fmt)                                                                       \
  REQ(av_opt_set_video_rate)                                                                       \
  REQ(av_opt_set_chlayout)                                                                         \
  REQ(av_opt_set_dict)                                                                             \
  REQ(av_opt_set_dict2)                                                                            \
  REQ(av_opt_set_defaults)                                                                         \
  REQ(av_opt_get)                                                                                  \
  REQ(av_opt_get_int)                                                                              \
  REQ(av_opt_get_double)                                                                           \
  REQ(av_opt_find)                                                                                 \
  REQ(av_opt_find2)                                                                                \
  REQ(av_opt_next)                                                                                 \
  REQ(av_opt_child_next)                                                                           \
  REQ(av_opt_child_class_iterate)                                                                  \
  REQ(av_opt_free)

#define VM_SWSCALE_FUNCS(REQ, OPT)                                                                 \
  REQ(swscale_version)                                                                             \
  REQ(sws_getContext)                                                                              \
  REQ(sws_getCachedContext)                                                                        \
  REQ(sws_freeContext)                                                                             \
  REQ(sws_scale)                                                                                   \
  REQ(sws_scale_frame)                                                                             \
  REQ(sws_get_class)                                                                               \
  REQ(sws_isSupportedInput)                                                                        \
  REQ(sws_isSupportedOutput)                                                                       \
  REQ(sws_setColorspaceDetails)                                                                    \
  REQ(sws_getCoefficients)

// The C runtime ("myUtil"): formatting, number parsing and stdio files.
#define VM_LIBC_FUNCS(REQ, OPT)                                                                    \
  REQ(fopen)                                                                                       \
  REQ(fclose)                                                                                      \
  REQ(fprintf)                                                                                     \
  REQ(fread)                                                                                       \
  REQ(fwrite)                                                                                      \
  REQ(fseek)                                                                                       \
  REQ(ftell)                                                                                       \
  REQ(fflush)                                                                                      \
  REQ(snprintf)                                                                                    \
  REQ(vsnprintf)                                                                                   \
  REQ(vsprintf)                                                                                    \
  REQ(strtod)                                                                                      \
  REQ(strtok)                                                                                      \
  REQ(strtol)

namespace ff {

#define VM_FF_MEMBER(name) decltype(&::name) name = nullptr;

// One function-pointer table per library; all pointers are null until the
// loader has resolved the library, and null again after it is unloaded.
struct TAVCodecFuncs { VM_AVCODEC_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TSwResampleFuncs { VM_SWRESAMPLE_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TAVDeviceFuncs { VM_AVDEVICE_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TAVFilterFuncs { VM_AVFILTER_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TAVFormatFuncs { VM_AVFORMAT_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TAVUtilFuncs { VM_AVUTIL_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TSwScaleFuncs { VM_SWSCALE_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };
struct TLibcFuncs { VM_LIBC_FUNCS(VM_FF_MEMBER, VM_FF_MEMBER) };

#undef VM_FF_MEMBER

// The tables, defined and filled by FFLoad.cpp. Written only by the loader on
// the main thread; read from any thread while the library is loaded.
extern TAVCodecFuncs avcodec;
extern TSwResampleFuncs swresample;
extern TAVDeviceFuncs avdevice;
extern TAVFilterFuncs avfilter;
extern TAVFormatFuncs avformat;
extern TAVUtilFuncs avutil;
extern TSwScaleFuncs swscale;
extern TLibcFuncs libc;

} // namespace ff
