// The request texts of prompt enhancement and the rules for the answers.
#include "prompts.hpp"

#include <orvo/text.hpp>

namespace quorlin {

namespace {

#include "prompt_texts.inc"

constexpr std::string_view fence = "```";

std::string joined(const std::vector<std::string> &items, std::string_view separator) {
    std::string text;
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (k > 0)
            text.append(separator);
        text.append(items[k]);
    }
    return text;
}

template <typename... Pieces>
std::string concat(const Pieces &...pieces) {
    std::string text;
    text.reserve((std::string_view(pieces).size() + ...));
    (text.append(std::string_view(pieces)), ...);
    return text;
}

}  // namespace

// ------------------------------------------------------------ file selection

std::string format_file_list(const std::vector<ListedFile> &files) {
    std::string text;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const ListedFile &file = files[k];
        if (k > 0)
            text.append("\n\n");
        text.append("📄 ").append(file.path);
        if (!file.definitions.empty())
            text.append("\n  ├─ 定义: ").append(joined(file.definitions, ", "));
        if (!file.comments.empty())
            text.append("\n  └─ 注释: ").append(joined(file.comments, " | "));
    }
    return text;
}

std::string selection_system_message(bool chinese) {
    return concat(selection_instructions, chinese ? "请用中文回复。" : "Please respond in English.", "\n");
}

std::string selection_user_message(std::string_view user_prompt, std::string_view file_list) {
    return concat("用户任务提示词：\n", user_prompt, "\n\n项目文件列表（包含定义和注释信息）：\n", file_list,
                  "\n\n请分析并返回需要查看的文件路径。");
}

std::string_view without_fences(std::string_view reply) {
    std::string_view text = orvo::strip(reply);
    if (text.starts_with(fence)) {
        const std::size_t line_end = text.find('\n');
        if (line_end != std::string_view::npos)
            text.remove_prefix(line_end + 1);
    }
    if (text.ends_with(fence))
        text = text.substr(0, text.rfind(fence));
    return orvo::strip(text);
}

// -------------------------------------------------------------- mode request

std::string file_contents_block(const std::vector<std::pair<std::string, std::string>> &contents) {
    std::string block;
    for (std::size_t k = 0; k < contents.size(); ++k) {
        if (k > 0)
            block.push_back('\n');
        block.append(concat("## ", contents[k].first, "\n```\n", contents[k].second, "\n```"));
    }
    return block;
}

bool is_review_mode(std::string_view mode) { return mode == "diff_review" || mode == "diff_review_concise"; }

ModeRequest mode_request(std::string_view mode, bool chinese, std::string_view user_prompt, std::string_view tree,
                         std::string_view contents, std::string_view diff) {
    const std::string_view answer_line =
        chinese ? "请用中文回答用户问题。" : "Please answer the user's question in English.";
    const auto question = [&](std::string_view instructions, std::string_view closing) {
        return ModeRequest{concat(instructions, answer_line),
                           concat("用户问题：\n", user_prompt, "\n\n项目结构：\n```\n", tree,
                                  "\n```\n\n相关代码文件：\n", contents, closing),
                           "AI正在回答问题..."};
    };
    const auto review = [&](std::string_view instructions, std::string_view closing, std::string_view spinner) {
        return ModeRequest{concat(instructions, answer_line),
                           concat("用户审查要求：\n", user_prompt, "\n\n项目结构：\n```\n", tree,
                                  "\n```\n\nGit Diff（代码修改）：\n```diff\n", diff,
                                  "\n```\n\n相关代码文件（作为上下文）：\n", contents, closing),
                           spinner};
    };
    if (mode == "question")
        return question(question_instructions, "\n\n请基于以上代码内容回答用户的问题。");
    if (mode == "question_concise")
        return question(concise_question_instructions, "\n\n请简洁地回答用户的问题。");
    if (mode == "diff_review")
        return review(review_instructions, "\n\n请基于以上信息审查代码修改。", "AI正在审查代码修改...");
    if (mode == "diff_review_concise")
        return review(concise_review_instructions, "\n\n请简洁地审查这些代码修改。", "AI正在快速审查代码修改...");
    if (mode == "code_search")
        return ModeRequest{concat(search_instructions, answer_line),
                           concat("用户搜索需求：\n", user_prompt, "\n\n项目结构：\n```\n", tree,
                                  "\n```\n\n代码文件内容：\n", contents,
                                  "\n\n请根据用户需求查找相关的代码段，并严格按照要求的格式输出。"),
                           "AI正在搜索相关代码段..."};
    const std::string_view rules = mode == "detailed" ? detailed_rules : concise_rules;
    return ModeRequest{concat(prompt_preamble, rules, prompt_output_rule,
                              chinese ? "请用中文生成增强提示词。" : "Please generate the enhanced prompt in English."),
                       concat("原始提示词：\n", user_prompt, "\n\n项目结构：\n```\n", tree, "\n```\n\n相关代码文件：\n",
                              contents, "\n\n请生成增强版提示词。"),
                       {}};
}

// ----------------------------------------------------------------- file name

std::string filename_system_message(bool chinese) {
    return concat("你是一个文件名生成助手。用户要求将AI的回答保存为Markdown文件。\n"
                  "                    请根据回答的内容，生成一个简洁、描述性的Markdown文件名（不包含.md后缀）。\n"
                  "                    文件名要求：\n"
                  "                    1. 简洁明了，反映内容主题\n"
                  "                    2. 使用连字符（-）连接单词，不要空格\n"
                  "                    3. 全部使用小写字母\n"
                  "                    4. 不超过4-5个单词\n"
                  "                    5. 只返回文件名，不要其他任何内容\n"
                  "                    \n"
                  "                    ",
                  chinese ? "请用中文生成一个简洁的文件名。" : "Please generate a concise filename in English.");
}

std::string filename_user_message(std::string_view excerpt) {
    return concat("请将以下AI回答内容生成一个合适的文件名：\n"
                  "                    \n"
                  "                    ",
                  excerpt,
                  "  # 取前500字符让AI理解主题\n"
                  "                    \n"
                  "                    只返回文件名（不包含.md后缀）。");
}

}  // namespace quorlin
